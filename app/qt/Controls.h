// The window's own small controls: a rectangle shape, a panel that docks a
// child at its bottom, the drive chooser and the directory list bound to it.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QFrame>
#include <QListWidget>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <functional>
#include <vector>

namespace qm::gui {

// A filled rectangle with a one-pixel outline.
class TShape : public QWidget {
    Q_OBJECT
public:
    TShape(QColor fill, QColor outline, QWidget* parent = nullptr);
    QColor Fill() const { return fill_; }
    QColor Outline() const { return outline_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor fill_, outline_;
};

// A raised panel; the child given to DockBottom keeps the full inner width
// and sits on the panel's bottom edge whatever the panel's size.
class TPanel : public QFrame {
    Q_OBJECT
public:
    explicit TPanel(QWidget* parent = nullptr);
    void DockBottom(QWidget* child, int height);

protected:
    void resizeEvent(QResizeEvent*) override;

private:
    void Place();
    QWidget* docked_ = nullptr;
    int dockedHeight_ = 0;
};

// List items of one fixed height, indented by their level (Qt::UserRole + 1).
class FixedRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    FixedRowDelegate(int height, int indentStep, QObject* parent = nullptr);
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    int height_, indent_;
};

// The folders from the root down to the current directory, then the current
// directory's subfolders in sorted order. A double click on an entry makes it
// the current directory.
class TDirectoryListBox : public QListWidget {
    Q_OBJECT
public:
    static constexpr int kPathRole = Qt::UserRole;
    static constexpr int kLevelRole = Qt::UserRole + 1;

    explicit TDirectoryListBox(QWidget* parent = nullptr);

    // A drive's root with its trailing separator ("/", "C:\"), any other
    // folder without one, in native separators.
    QString Directory() const { return directory_; }
    // Moves to `path` when it is an existing folder; false otherwise.
    bool SetDirectory(const QString& path);

    // The text a folder is shown and reported with.
    static QString DirectoryText(const QString& path);

signals:
    void DirectoryChanged(const QString& directory);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Rebuild();
    void Open(QListWidgetItem* item);

    QString directory_;
};

// One entry of the drive chooser.
struct DriveEntry {
    enum class Kind { Fixed, Removable, Network, Optical, Ram };
    QString root;   // what the directory list moves to ("/", "/home", "C:\")
    QString label;  // volume label, or a network drive's connection name
    Kind kind = Kind::Fixed;
};

// The drives present, in order: on Windows every drive letter, on other
// systems the roots of the mounted file systems.
std::vector<DriveEntry> MountedDrives();

// The drive chooser: every drive with an icon by its kind; fixed, optical and
// RAM drives followed by their label in brackets, network drives by their
// connection name. Choosing one moves the bound directory list to its root.
class TDriveComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TDriveComboBox(QWidget* parent = nullptr);

    void SetDrives(const std::vector<DriveEntry>& drives);
    void SetDirList(TDirectoryListBox* list);
    // The entry text of a drive.
    static QString EntryText(const DriveEntry& d);
    // Selects the drive whose root holds `directory` (the longest root that does).
    void FollowDirectory(const QString& directory);

private:
    std::vector<DriveEntry> drives_;
    TDirectoryListBox* dirList_ = nullptr;
};

// The two small pictures of the window, drawn rather than shipped.
QPixmap DriveIconPixmap();  // 32 x 32
QPixmap ScanGlyphPixmap();  // 16 x 16

}  // namespace qm::gui
