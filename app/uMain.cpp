#include "app/uMain.h"

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

#include "app/Skin.h"
#include "ntfs/Sources.h"
#include "recover/RecoverRecord.h"
#include "recover/uRecoverThread.h"

const char* const kApplicationTitle = "Quillmere数据恢复工具";
const char* const kWindowCaption = "Quillmere数据恢复软件 1.0.0.0";

std::atomic<bool> ScanRunning{false};
std::atomic<bool> ScanStopRequested{false};
std::atomic<bool> RecoverRunning{false};
std::atomic<bool> RecoverStopRequested{false};
std::int32_t SortColumn = 0;
TfMain* fMain = nullptr;

using qm::gui::AnsiToQString;
using qm::gui::QStringToAnsi;

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QString AppTitle() {
    return U(kApplicationTitle);
}

// Paths and device names as the list shows them, and back.
QString SourceText(const std::string& source) {
    return QFile::decodeName(source.c_str());
}
std::string SourceOf(const QString& text) {
    return QFile::encodeName(text).toStdString();
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

ListIndexError::ListIndexError(int index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")") {}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QChar('.')) return message + '.';
    return message;
}

TfMain::TfMain(StartupOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)) {
    fMain = this;
    if (!options_.fixedDrives) options_.fixedDrives = [] { return qm::ListFixedDrives(); };
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
    dateFormats_.Set(readLocaleFormats());

    stream_ = new qm::gui::UiStream(this);
    BuildControls();
    FormCreate();
}

TfMain::~TfMain() {
    StopWorkers();
    if (fMain == this) fMain = nullptr;
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

    // The result list fills what the two bottom parts leave.
    model_ = new qm::gui::ResultModel(this);
    ListView1 = new QTableView(this);
    ListView1->setObjectName("ListView1");
    ListView1->setModel(model_);
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
    connect(DLB, &qm::gui::TDirectoryListBox::DirectoryChanged, this,
            [this] { RunCommand([this] { DLBChange(); }); });

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

    connect(btnScan, &QPushButton::clicked, this,
            [this] { RunCommand([this] { btnScanClick(); }); });
    connect(btnRecover, &QPushButton::clicked, this,
            [this] { RunCommand([this] { btnRecoverClick(); }); });
    connect(btn1, &QPushButton::clicked, this, [this] { RunCommand([this] { btn1Click(); }); });
    connect(btn2, &QPushButton::clicked, this, [this] { RunCommand([this] { btn2Click(); }); });
    connect(CheckBox1, &QCheckBox::clicked, this,
            [this] { RunCommand([this] { CheckBox1Click(); }); });

    SetTabOrder();
    btnScan->setFocus();
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

void TfMain::SetRowsSource(const std::string& source, const qm::VolumeGeometry& g) {
    rowsSource_ = source;
    rowsGeometry_ = g;
}

void TfMain::SetDriveLabel(qm::DriveLabel which, const std::string& text) {
    QLabel* label = nullptr;
    switch (which) {
        case qm::DriveLabel::Name:
            label = DriveName;
            break;
        case qm::DriveLabel::Serial:
            label = DriveSerial;
            break;
        case qm::DriveLabel::Size:
            label = DriveSize;
            break;
        case qm::DriveLabel::MftLocation:
            label = DriveMFTLocation;
            break;
        case qm::DriveLabel::MftSize:
            label = DriveMFTSize;
            break;
        case qm::DriveLabel::RecordsCount:
            label = DriveMFTRecordsCount;
            break;
    }
    if (label)
        SetLabelText(label, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

// ---- Start-up ----------------------------------------------------------------------------

void TfMain::FormCreate() {
    SkinH_Attach();

    std::vector<std::string> found;
    for (const std::string& drive : options_.fixedDrives())
        if (ReadOemId(drive) == "NTFS") found.push_back(drive);
    // Images named on the command line: the image itself, or each NTFS
    // partition of a whole-disk image, under the same test.
    for (const std::string& image : options_.images)
        for (const qm::SourceInfo& s : qm::ExpandImage(image))
            if (ReadOemId(s.source) == "NTFS") found.push_back(s.source);

    DriveList->clear();
    for (const std::string& s : found) DriveList->addItem(SourceText(s));
    DriveList->setCurrentRow(-1);
    DriveList->clearSelection();

    ScanRunning.store(false);
    ScanStopRequested.store(false);
    RecoverRunning.store(false);
    RecoverStopRequested.store(false);

    edPath->setText(DLB->Directory());
}

std::string TfMain::ReadOemId(const std::string& drive) {
    std::string result;
    auto volume = qm::OpenRawVolume(drive);
    if (!volume) return result;
    std::vector<std::uint8_t> boot(qm::kBootSectorSize, 0);
    (*volume)->ReadAt(0, boot);  // what is not delivered stays zero

    const std::string label = qm::ReadVolumeLabel(drive);
    SetLabelText(DriveName, QString::fromUtf8(qm::DriveNameText(label).c_str()));
    std::uint64_t serial = 0;
    for (int i = 0; i < 8; ++i)
        serial |= std::uint64_t{boot[72 + static_cast<std::size_t>(i)]} << (8 * i);
    SetLabelText(DriveSerial, QString::fromUtf8(qm::DriveSerialText(serial).c_str()));

    result.assign(reinterpret_cast<const char*>(boot.data()) + 3, 4);
    return result;
}

// ---- Commands ------------------------------------------------------------------------------

void TfMain::RunCommand(const std::function<void()>& command) {
    try {
        command();
    } catch (const std::exception& e) {
        showError(ErrorBoxText(QString::fromUtf8(e.what())));
    }
}

std::string TfMain::SelectedDrive() const {
    const QList<QListWidgetItem*> selected = DriveList->selectedItems();
    if (selected.isEmpty()) throw ListIndexError(-1);
    return SourceOf(selected.front()->text());
}

void TfMain::btnScanClick() {
    if (ScanRunning.load()) {
        ScanStopRequested.store(true);
        return;
    }
    if (DriveList->selectedItems().isEmpty()) {
        showMessage(U("请先选择一个磁盘!"));
        return;
    }
    ScanStopRequested.store(false);
    SetLabelText(DeleteFileCount, U("删除的文件数: 0"));
    const std::string drive = SelectedDrive();
    // Raised here rather than by the worker, so that a second press before the
    // worker runs stops it instead of starting another.
    ScanRunning.store(true);
    workers_.push_back(new TScanThread(false, drive, this));
}

void TfMain::btnRecoverClick() {
    if (RecoverRunning.load()) {
        RecoverStopRequested.store(true);
        return;
    }
    const int ticked = model_->CheckedCount();
    if (ticked == 0) {
        showMessage(U("请选择恢复的文件!"));
        return;
    }
    RecoverStopRequested.store(false);
    std::string drive = SelectedDrive();
    // The rows' records are read from the volume they were found on, with its
    // geometry: the same positions on another volume hold other files.
    qm::VolumeGeometry geometry = geometry_;
    if (!rowsSource_.empty()) {
        drive = rowsSource_;
        geometry = rowsGeometry_;
    }
    // Writing onto the volume being read can overwrite the very clusters of
    // the deleted files not yet recovered.
    const std::string folder = QStringToAnsi(DLB->Directory());
    if (folderIsOnSource(folder, drive) &&
        !askYesNo(
            U("输出文件夹位于正在恢复的磁盘上，写入可能覆盖尚未恢复的已删除文件。仍要继续吗?")))
        return;
    RecoverRunning.store(true);
    workers_.push_back(new TRecoverThread(false, drive, ticked, geometry, this));
}

void TfMain::btn1Click() {
    if (model_->Count() == 0) return;
    model_->SetAllChecked(true);
}

void TfMain::btn2Click() {
    if (model_->Count() == 0) return;
    model_->InvertChecks();
}

void TfMain::CheckBox1Click() {
    model_->SetAllChecked(CheckBox1->isChecked());
}

void TfMain::DLBChange() {
    edPath->setText(DLB->Directory());
}

void TfMain::ListView1ColumnClick(int column) {
    SortColumn = column;
    model_->SortByColumn(column);
}

int TfMain::ListView1Compare(int rowA, int rowB) const {
    return qm::gui::CompareTextAscii(model_->Text(rowA, SortColumn),
                                     model_->Text(rowB, SortColumn));
}

TfMain::RecoverRowQuery TfMain::NextTickedRow(int from, int limit) const {
    RecoverRowQuery q;
    const int end = std::min(limit, model_->Count());
    for (int i = std::max(from, 0); i < end; ++i) {
        if (!model_->Checked(i)) continue;
        q.index = i;
        q.caption = std::string(model_->Text(i, 0));
        q.name = std::string(model_->Text(i, 1));
        break;
    }
    q.byName = rb1->isChecked();
    q.folder = QStringToAnsi(DLB->Directory());
    return q;
}

// ---- Workers -----------------------------------------------------------------------------------

void TfMain::ReleaseWorker(qm::gui::WorkerThread* worker) {
    auto it = std::find(workers_.begin(), workers_.end(), worker);
    if (it == workers_.end()) return;
    workers_.erase(it);
    worker->Join();
    delete worker;
}

void TfMain::StopWorkers() {
    if (workers_.empty()) return;
    ScanStopRequested.store(true);
    RecoverStopRequested.store(true);
    stream_->Close();
    bool scanned = false, recovered = false;
    for (qm::gui::WorkerThread* w : workers_) {
        scanned |= qobject_cast<TScanThread*>(w) != nullptr;
        recovered |= qobject_cast<TRecoverThread*>(w) != nullptr;
        w->Join();
        delete w;
    }
    workers_.clear();
    stream_->Reopen();
    if (scanned) {
        ScanRunning.store(false);
        btnScan->setText(U("扫描磁盘"));
        btnRecover->setEnabled(true);
    }
    if (recovered) {
        RecoverRunning.store(false);
        btnRecover->setText(U("恢复文件"));
        btnScan->setEnabled(true);
    }
}

void TfMain::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LocaleChange) dateFormats_.Set(readLocaleFormats());
    QWidget::changeEvent(event);
}

void TfMain::closeEvent(QCloseEvent* event) {
    StopWorkers();
    QWidget::closeEvent(event);
}
