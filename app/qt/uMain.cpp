#include "app/qt/uMain.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/qt/Skin.h"

TfMain* fMain = nullptr;

using qm::gui::AnsiToQString;
using qm::gui::QStringToAnsi;
using qm::window::Label;

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QString AppTitle() {
    return U(kApplicationTitle);
}

// Paths and device names as the list shows them.
QString SourceText(const std::string& source) {
    return QFile::decodeName(source.c_str());
}

QFont WindowFont() {
    // Tahoma where the system has it; elsewhere a close sans-serif with CJK glyphs.
    static const bool substituted = [] {
        QFont::insertSubstitutions(
            "Tahoma", {"DejaVu Sans", "Liberation Sans", "WenQuanYi Zen Hei", "Noto Sans CJK SC"});
        return true;
    }();
    (void)substituted;
    QFont f("Tahoma");
    f.setPixelSize(11);
    return f;
}

QFont BoldFont(int pixelSize = 11) {
    QFont f = WindowFont();
    f.setBold(true);
    f.setPixelSize(pixelSize);
    return f;
}

template <typename W>
W* Place(W* w, const char* name, int left, int top, int width = -1, int height = -1) {
    w->setObjectName(QString::fromLatin1(name));
    if (width < 0) {
        w->adjustSize();
        w->move(left, top);
    } else {
        w->setGeometry(left, top, width, height);
    }
    return w;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int left, int top,
                  bool bold) {
    auto* l = new QLabel(U(text), parent);
    if (bold) l->setFont(BoldFont());
    return Place(l, name, left, top);
}

}  // namespace

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QChar('.')) return message + '.';
    return message;
}

TfMain::TfMain(StartupOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), model_(*this) {
    fMain = this;
    if (!options_.mountedDrives) options_.mountedDrives = [] { return qm::gui::MountedDrives(); };

    showMessage = [this](const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, AppTitle(), text, QMessageBox::Ok, this);
        box.exec();
    };
    askYesNo = [this](const QString& text) {
        QMessageBox box(QMessageBox::Question, AppTitle(), text, QMessageBox::Yes | QMessageBox::No,
                        this);
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    };
    showError = [this](const QString& text) {
        QMessageBox box(QMessageBox::Critical, AppTitle(), text, QMessageBox::Ok, this);
        box.exec();
    };
    folderIsOnSource = [](const std::string& folder, const std::string& source) {
        return qm::FolderIsOnSource(folder, source);
    };
    readLocaleFormats = [] { return qm::ReadLocaleFormats(); };
    model_.SetLocaleFormats(readLocaleFormats());

    // The UI thread is woken by a queued call without arguments.
    model_.Queue().SetWake(
        [this] { QMetaObject::invokeMethod(this, "DrainQueue", Qt::QueuedConnection); });
    BuildControls();
    FormCreate();
}

TfMain::~TfMain() {
    model_.StopWorkers();
    // The list's model reads the rows the window model holds: both go first.
    delete ListView1;
    ListView1 = nullptr;
    delete listModel_;
    listModel_ = nullptr;
    if (fMain == this) fMain = nullptr;
}

void TfMain::DrainQueue() {
    model_.Queue().Drain();
}

// ---- Layout -----------------------------------------------------------------------------

void TfMain::BuildControls() {
    setObjectName("fMain");
    setWindowTitle(U(kWindowCaption));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(WindowFont());
    // Outer size 867 x 603 with the usual frame: a client area of 859 x 576.
    resize(859, 576);
    move(125, 88);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    BuildList(layout);
    BuildDrivePanel(layout);
    BuildOutputPanel();
    Connect();
    SetTabOrder();
    btnScan->setFocus();
}

void TfMain::BuildList(QVBoxLayout* layout) {
    // The result list fills what the two bottom parts leave.
    listModel_ = new qm::gui::ResultModel(model_.Rows(), this);
    ListView1 = new QTableView(this);
    ListView1->setObjectName("ListView1");
    ListView1->setModel(listModel_);
    ListView1->setShowGrid(true);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::EditKeyPressed |
                               QAbstractItemView::SelectedClicked);
    ListView1->setWordWrap(false);
    ListView1->setCornerButtonEnabled(false);
    ListView1->verticalHeader()->hide();
    ListView1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ListView1->verticalHeader()->setDefaultSectionSize(17);
    QHeaderView* header = ListView1->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setFixedHeight(19);
    for (int c = 0; c < qm::gui::ResultModel::kColumns; ++c)
        header->resizeSection(c, qm::gui::ResultModel::ColumnWidth(c));
    connect(header, &QHeaderView::sectionClicked, this,
            [this](int column) { RunCommand([this, column] { ListView1ColumnClick(column); }); });
    layout->addWidget(ListView1, 1);
}

void TfMain::BuildDrivePanel(QVBoxLayout* layout) {
    grp1 = new QGroupBox(U("操作"), this);
    grp1->setObjectName("grp1");
    grp1->setFixedHeight(50);
    layout->addWidget(grp1);
    btn1 = Place(new QPushButton(U("全选"), grp1), "btn1", 32, 15, 75, 25);
    btn2 = Place(new QPushButton(U("反选"), grp1), "btn2", 120, 15, 75, 25);
    lbl1 = MakeLabel(grp1, "lbl1", "Quillmere 团队", 728, 24, false);

    Panel1 = new qm::gui::TPanel(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(222);
    layout->addWidget(Panel1);

    Label1 = MakeLabel(Panel1, "Label1", "NTFS格式磁盘列表:", 16, 8, false);
    DriveList = Place(new QListWidget(Panel1), "DriveList", 16, 24, 121, 135);
    DriveList->setItemDelegate(new qm::gui::FixedRowDelegate(13, 0, DriveList));
    DriveList->setUniformItemSizes(true);
    DriveList->setSelectionMode(QAbstractItemView::SingleSelection);

    btnScan = Place(new QPushButton(U("扫描磁盘"), Panel1), "btnScan", 16, 165, 121, 35);
    btnScan->setFont(BoldFont());
    btnScan->setCursor(Qt::PointingHandCursor);
    btnScan->setIcon(QIcon(qm::gui::ScanGlyphPixmap()));
    btnScan->setIconSize(QSize(16, 16));

    Drive_Background = Place(new qm::gui::TShape(Qt::white, Qt::black, Panel1), "Drive_Background",
                             153, 4, 246, 196);
    Drive_BackgroundSeparator = Place(new qm::gui::TShape(Qt::white, Qt::gray, Panel1),
                                      "Drive_BackgroundSeparator", 153, 48, 246, 6);
    Drive_Icon = Place(new QLabel(Panel1), "Drive_Icon", 161, 10, 32, 32);
    Drive_Icon->setPixmap(qm::gui::DriveIconPixmap());
    Drive_Icon->setAlignment(Qt::AlignCenter);
    Drive_Title = Place(new QLabel(U("磁盘信息"), Panel1), "Drive_Title", 191, 11, 186, 32);
    Drive_Title->setFont(BoldFont(17));
    Drive_Title->setAlignment(Qt::AlignCenter);

    DriveName = MakeLabel(Panel1, "DriveName", "名称: 未知", 161, 60, true);
    DriveSerial = MakeLabel(Panel1, "DriveSerial", "序号: 未知", 161, 79, true);
    DriveSize = MakeLabel(Panel1, "DriveSize", "大小: 未知", 161, 98, true);
    DriveMFTLocation = MakeLabel(Panel1, "DriveMFTLocation", "MFT位置: 未知", 161, 117, true);
    DriveMFTSize = MakeLabel(Panel1, "DriveMFTSize", "MFT大小: 未知", 161, 136, true);
    DriveMFTRecordsCount = MakeLabel(Panel1, "DriveMFTRecordsCount", "总文件数: 0", 161, 155, true);
    DeleteFileCount = MakeLabel(Panel1, "DeleteFileCount", "删除的文件数：0", 161, 174, true);
}

void TfMain::BuildOutputPanel() {
    Bevel1 = Place(new QFrame(Panel1), "Bevel1", 416, 6, 4, 194);
    Bevel1->setFrameStyle(QFrame::VLine | QFrame::Sunken);

    Label2 = MakeLabel(Panel1, "Label2", "文件保存路径:", 432, 6, true);
    edPath = Place(new QLineEdit(Panel1), "edPath", 519, 5, 330, 21);
    edPath->setReadOnly(true);

    DCB = Place(new qm::gui::TDriveComboBox(Panel1), "DCB", 432, 32, 226, 19);
    DLB = Place(new qm::gui::TDirectoryListBox(Panel1), "DLB", 432, 57, 226, 97);
    DLB->SetDirectory(options_.startDirectory.isEmpty() ? QDir::currentPath()
                                                        : options_.startDirectory);
    DCB->SetDrives(options_.mountedDrives());
    DCB->SetDirList(DLB);

    RadioGroup1 = Place(new QGroupBox(U("文件保存方式"), Panel1), "RadioGroup1", 664, 32, 185, 99);
    rb1 = Place(new QRadioButton(U("按原名保存(可能会覆盖)"), Panel1), "rb1", 680, 64, 153, 17);
    rb2 = Place(new QRadioButton(U("按\"File_编号\"保存"), Panel1), "rb2", 680, 95, 113, 17);
    rb1->setChecked(true);
    CheckBox1 =
        Place(new QCheckBox(U("选中所有的删除文件"), Panel1), "CheckBox1", 664, 137, 185, 17);

    btnRecover = Place(new QPushButton(U("恢复选中文件"), Panel1), "btnRecover", 432, 160, 417, 40);
    btnRecover->setFont(BoldFont());

    PB = new QProgressBar(Panel1);
    PB->setObjectName("PB");
    PB->setRange(0, 100);
    PB->setValue(0);
    PB->setTextVisible(false);
    Panel1->DockBottom(PB, 16);
}

void TfMain::Connect() {
    connect(DLB, &qm::gui::TDirectoryListBox::DirectoryChanged, this,
            [this] { RunCommand([this] { DLBChange(); }); });
    connect(btnScan, &QPushButton::clicked, this,
            [this] { RunCommand([this] { btnScanClick(); }); });
    connect(btnRecover, &QPushButton::clicked, this,
            [this] { RunCommand([this] { btnRecoverClick(); }); });
    connect(btn1, &QPushButton::clicked, this, [this] { RunCommand([this] { btn1Click(); }); });
    connect(btn2, &QPushButton::clicked, this, [this] { RunCommand([this] { btn2Click(); }); });
    connect(CheckBox1, &QCheckBox::clicked, this,
            [this] { RunCommand([this] { CheckBox1Click(); }); });
}

void TfMain::SetTabOrder() {
    QWidget* order[] = {btnScan, DriveList,  PB,     DLB,       DCB,       RadioGroup1, rb1,
                        rb2,     btnRecover, edPath, CheckBox1, ListView1, btn1,        btn2};
    // The progress bar and the frame take no focus; they keep their place in
    // the chain all the same.
    std::vector<Qt::FocusPolicy> policies;
    for (QWidget* w : order) {
        policies.push_back(w->focusPolicy());
        if (w->focusPolicy() == Qt::NoFocus) w->setFocusPolicy(Qt::TabFocus);
    }
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
    for (std::size_t i = 0; i < std::size(order); ++i) order[i]->setFocusPolicy(policies[i]);
}

void TfMain::SetLabelText(QLabel* label, const QString& text) {
    label->setText(text);
    label->adjustSize();
}

// ---- Start-up ----------------------------------------------------------------------------

void TfMain::FormCreate() {
    SkinH_Attach();
    model_.FormCreate({options_.images, options_.fixedDrives});
}

std::string TfMain::ReadOemId(const std::string& drive) {
    return model_.ReadOemId(drive);
}

// ---- Commands ------------------------------------------------------------------------------

void TfMain::RunCommand(const std::function<void()>& command) {
    model_.RunCommand(command);
}

void TfMain::btnScanClick() {
    model_.btnScanClick();
}

void TfMain::btnRecoverClick() {
    model_.btnRecoverClick();
}

void TfMain::btn1Click() {
    model_.btn1Click();
}

void TfMain::btn2Click() {
    model_.btn2Click();
}

void TfMain::CheckBox1Click() {
    model_.CheckBox1Click();
}

void TfMain::DLBChange() {
    model_.DLBChange();
}

void TfMain::ListView1ColumnClick(int column) {
    model_.ListView1ColumnClick(column);
}

int TfMain::ListView1Compare(int rowA, int rowB) const {
    return model_.ListView1Compare(rowA, rowB);
}

// ---- WindowView ------------------------------------------------------------------------------

void TfMain::SetDrives(const std::vector<std::string>& sources) {
    DriveList->clear();
    for (const std::string& s : sources) DriveList->addItem(SourceText(s));
    DriveList->setCurrentRow(-1);
    DriveList->clearSelection();
}

QLabel* TfMain::LabelOf(Label which) const {
    switch (which) {
        case Label::DriveName:
            return DriveName;
        case Label::DriveSerial:
            return DriveSerial;
        case Label::DriveSize:
            return DriveSize;
        case Label::MftLocation:
            return DriveMFTLocation;
        case Label::MftSize:
            return DriveMFTSize;
        case Label::RecordsCount:
            return DriveMFTRecordsCount;
        case Label::DeleteFileCount:
            return DeleteFileCount;
    }
    return nullptr;
}

void TfMain::SetLabel(Label which, const std::string& text) {
    if (QLabel* label = LabelOf(which))
        SetLabelText(label, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void TfMain::SetScanCaption(const std::string& text) {
    btnScan->setText(QString::fromStdString(text));
}

void TfMain::SetRecoverCaption(const std::string& text) {
    btnRecover->setText(QString::fromStdString(text));
}

void TfMain::EnableScan(bool enabled) {
    btnScan->setEnabled(enabled);
}

void TfMain::EnableRecover(bool enabled) {
    btnRecover->setEnabled(enabled);
}

void TfMain::SetProgressRange(int maximum) {
    PB->setMaximum(maximum);
    PB->setMinimum(0);
    PB->setValue(0);
}

void TfMain::SetProgress(int value) {
    PB->setValue(value);
}

void TfMain::SetPathText(const std::string&) {
    // The folder as the directory list holds it, not its 8-bit form.
    edPath->setText(DLB->Directory());
}

void TfMain::ShowMessage(const std::string& text) {
    showMessage(QString::fromStdString(text));
}

bool TfMain::AskYesNo(const std::string& text) {
    return askYesNo(QString::fromStdString(text));
}

void TfMain::ShowError(const std::string& text) {
    showError(QString::fromStdString(text));
}

int TfMain::SelectedDrive() const {
    const QList<QListWidgetItem*> selected = DriveList->selectedItems();
    return selected.isEmpty() ? -1 : DriveList->row(selected.front());
}

bool TfMain::SaveByName() const {
    return rb1->isChecked();
}

bool TfMain::SelectAllDeleted() const {
    return CheckBox1->isChecked();
}

std::string TfMain::Folder() const {
    return QStringToAnsi(DLB->Directory());
}

bool TfMain::FolderIsOnSource(const std::string& folder, const std::string& source) {
    return folderIsOnSource(folder, source);
}

// ---- Events ------------------------------------------------------------------------------------

void TfMain::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LocaleChange) model_.SetLocaleFormats(readLocaleFormats());
    QWidget::changeEvent(event);
}

void TfMain::closeEvent(QCloseEvent* event) {
    model_.StopWorkers();
    QWidget::closeEvent(event);
}
