#include "app/qt/Controls.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QStorageInfo>
#include <QStyle>
#include <algorithm>

namespace qm::gui {

// ---- TShape ---------------------------------------------------------------------

TShape::TShape(QColor fill, QColor outline, QWidget* parent)
    : QWidget(parent), fill_(fill), outline_(outline) {}

void TShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), fill_);
    p.setPen(outline_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

// ---- TPanel ---------------------------------------------------------------------

TPanel::TPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
}

void TPanel::DockBottom(QWidget* child, int height) {
    docked_ = child;
    dockedHeight_ = height;
    Place();
}

void TPanel::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    Place();
}

void TPanel::Place() {
    if (docked_) docked_->setGeometry(1, height() - 1 - dockedHeight_, width() - 2, dockedHeight_);
}

// ---- FixedRowDelegate ----------------------------------------------------------------

FixedRowDelegate::FixedRowDelegate(int height, int indentStep, QObject* parent)
    : QStyledItemDelegate(parent), height_(height), indent_(indentStep) {}

QSize FixedRowDelegate::sizeHint(const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(height_);
    s.rwidth() += index.data(TDirectoryListBox::kLevelRole).toInt() * indent_;
    return s;
}

void FixedRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    opt.rect.adjust(index.data(TDirectoryListBox::kLevelRole).toInt() * indent_, 0, 0, 0);
    QStyledItemDelegate::paint(painter, opt, index);
}

// ---- TDirectoryListBox ---------------------------------------------------------------

TDirectoryListBox::TDirectoryListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new FixedRowDelegate(16, 8, this));
    setUniformItemSizes(true);
    setIconSize(QSize(16, 16));
    connect(this, &QListWidget::itemDoubleClicked, this, &TDirectoryListBox::Open);
}

QString TDirectoryListBox::DirectoryText(const QString& path) {
    return QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

bool TDirectoryListBox::SetDirectory(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isDir()) return false;
    const QString text = DirectoryText(path);
    const bool changed = text != directory_;
    directory_ = text;
    Rebuild();
    if (changed) emit DirectoryChanged(directory_);
    return true;
}

void TDirectoryListBox::Rebuild() {
    clear();
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);

    // The folders from the root down to the current one.
    QStringList chain;
    QDir d(QDir::fromNativeSeparators(directory_));
    for (int guard = 0; guard < 4096; ++guard) {
        chain.prepend(d.absolutePath());
        if (d.isRoot() || !d.cdUp()) break;
    }
    int level = 0;
    for (const QString& p : chain) {
        const QString text = level == 0 ? DirectoryText(p) : QFileInfo(p).fileName();
        auto* item = new QListWidgetItem(open, text, this);
        item->setData(kPathRole, DirectoryText(p));
        item->setData(kLevelRole, level);
        ++level;
    }
    if (count() > 0) setCurrentRow(count() - 1);

    // Its subfolders, sorted.
    const QStringList subs =
        QDir(QDir::fromNativeSeparators(directory_))
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    const QString base = QDir::fromNativeSeparators(directory_);
    for (const QString& name : subs) {
        auto* item = new QListWidgetItem(closed, name, this);
        item->setData(kPathRole, DirectoryText(base + (base.endsWith('/') ? "" : "/") + name));
        item->setData(kLevelRole, level);
    }
}

void TDirectoryListBox::Open(QListWidgetItem* item) {
    if (item) SetDirectory(QDir::fromNativeSeparators(item->data(kPathRole).toString()));
}

void TDirectoryListBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        Open(currentItem());
        return;
    }
    QListWidget::keyPressEvent(event);
}

// ---- Drives ---------------------------------------------------------------------------

std::vector<DriveEntry> MountedDrives() {
    std::vector<DriveEntry> out;
    for (const QStorageInfo& s : QStorageInfo::mountedVolumes()) {
        if (!s.isValid() || !s.isReady()) continue;
        const QString root = QDir::toNativeSeparators(s.rootPath());
#ifndef Q_OS_WIN
        // The system's own trees are no place to save files.
        static const char* const kSkip[] = {"/dev", "/proc", "/sys", "/run"};
        bool skip = false;
        for (const char* prefix : kSkip)
            if (root == prefix || root.startsWith(QString(prefix) + "/")) skip = true;
        if (skip) continue;
#endif
        const QByteArray fs = s.fileSystemType().toLower();
        DriveEntry d;
        d.root = root;
        d.label = s.name();
        if (fs.startsWith("nfs") || fs.startsWith("cifs") || fs.startsWith("smb") ||
            fs.contains("sshfs")) {
            d.kind = DriveEntry::Kind::Network;
            d.label = QString::fromLocal8Bit(s.device());
        } else if (fs == "iso9660" || fs == "udf" || fs == "cdfs") {
            d.kind = DriveEntry::Kind::Optical;
        } else if (fs == "tmpfs" || fs == "ramfs") {
            d.kind = DriveEntry::Kind::Ram;
        }
        if (std::none_of(out.begin(), out.end(),
                         [&](const DriveEntry& e) { return e.root == root; }))
            out.push_back(d);
    }
    const QString top = QDir::toNativeSeparators(QDir::rootPath());
    if (std::none_of(out.begin(), out.end(), [&](const DriveEntry& e) { return e.root == top; }))
        out.push_back(DriveEntry{top, QString(), DriveEntry::Kind::Fixed});
    std::sort(out.begin(), out.end(), [](const DriveEntry& a, const DriveEntry& b) {
        return a.root.compare(b.root, Qt::CaseInsensitive) < 0;
    });
    return out;
}

TDriveComboBox::TDriveComboBox(QWidget* parent) : QComboBox(parent) {
    setIconSize(QSize(16, 16));
    connect(this, &QComboBox::activated, this, [this](int i) {
        if (dirList_ && i >= 0 && i < static_cast<int>(drives_.size()))
            dirList_->SetDirectory(drives_[static_cast<std::size_t>(i)].root);
    });
}

QString TDriveComboBox::EntryText(const DriveEntry& d) {
    QString text = d.root;
#ifdef Q_OS_WIN
    // "c:" for C:\ .
    if (text.size() >= 2 && text[1] == ':') text = text.left(2).toLower();
#endif
    switch (d.kind) {
        case DriveEntry::Kind::Fixed:
        case DriveEntry::Kind::Optical:
        case DriveEntry::Kind::Ram:
            if (!d.label.isEmpty()) text += " [" + d.label.toLower() + "]";
            break;
        case DriveEntry::Kind::Network:
            if (!d.label.isEmpty()) text += " " + d.label;
            break;
        case DriveEntry::Kind::Removable:
            break;
    }
    return text;
}

void TDriveComboBox::SetDrives(const std::vector<DriveEntry>& drives) {
    drives_ = drives;
    clear();
    for (const DriveEntry& d : drives_) {
        QStyle::StandardPixmap icon = QStyle::SP_DriveHDIcon;
        switch (d.kind) {
            case DriveEntry::Kind::Network:
                icon = QStyle::SP_DriveNetIcon;
                break;
            case DriveEntry::Kind::Optical:
                icon = QStyle::SP_DriveCDIcon;
                break;
            case DriveEntry::Kind::Removable:
                icon = QStyle::SP_DriveFDIcon;
                break;
            default:
                break;
        }
        addItem(style()->standardIcon(icon), EntryText(d));
    }
    if (dirList_) FollowDirectory(dirList_->Directory());
}

void TDriveComboBox::SetDirList(TDirectoryListBox* list) {
    dirList_ = list;
    connect(list, &TDirectoryListBox::DirectoryChanged, this, &TDriveComboBox::FollowDirectory);
    FollowDirectory(list->Directory());
}

void TDriveComboBox::FollowDirectory(const QString& directory) {
    const QChar sep = QDir::separator();
    int best = -1;
    qsizetype bestLength = -1;
    for (std::size_t i = 0; i < drives_.size(); ++i) {
        const QString& root = drives_[i].root;
#ifdef Q_OS_WIN
        const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
        const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
        const bool holds = directory.compare(root, cs) == 0 ||
                           (directory.startsWith(root, cs) &&
                            (root.endsWith(sep) || directory.at(root.size()) == sep));
        if (holds && root.size() > bestLength) {
            best = static_cast<int>(i);
            bestLength = root.size();
        }
    }
    if (best >= 0) setCurrentIndex(best);
}

// ---- Pictures ------------------------------------------------------------------------------

QPixmap DriveIconPixmap() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient body(0, 9, 0, 25);
    body.setColorAt(0, QColor(0xE8, 0xEC, 0xF0));
    body.setColorAt(1, QColor(0x9A, 0xA3, 0xAE));
    p.setPen(QPen(QColor(0x4A, 0x52, 0x5C), 1));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(2.5, 9.5, 27, 15), 3, 3);
    p.setPen(QPen(QColor(0x6E, 0x77, 0x82), 1));
    p.drawLine(QPointF(5, 20.5), QPointF(20, 20.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2E, 0xC2, 0x4B));
    p.drawEllipse(QPointF(25, 20.5), 1.8, 1.8);
    return pm;
}

QPixmap ScanGlyphPixmap() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x25, 0x5E, 0xA8), 2));
    p.setBrush(QColor(0xD6, 0xE8, 0xFA));
    p.drawEllipse(QPointF(6.5, 6.5), 4.5, 4.5);
    p.setPen(QPen(QColor(0x3A, 0x3A, 0x3A), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 10), QPointF(14.5, 14.5));
    return pm;
}

}  // namespace qm::gui
