#include "app/model/WindowModel.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "ntfs/Sources.h"

const char* const kApplicationTitle = "Quillmere数据恢复工具";
const char* const kWindowCaption = "Quillmere数据恢复软件 1.0.0.0";

std::atomic<bool> ScanRunning{false};
std::atomic<bool> ScanStopRequested{false};
std::atomic<bool> RecoverRunning{false};
std::atomic<bool> RecoverStopRequested{false};
std::int32_t SortColumn = 0;

ListIndexError::ListIndexError(int index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")") {}

namespace qm::window {
namespace {

const char* const kScanCaption = "扫描磁盘";
const char* const kStopScanCaption = "停止扫描";
const char* const kRecoverCaption = "恢复文件";
const char* const kStopRecoverCaption = "停止恢复";

int ClampToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, INT_MAX));
}

}  // namespace

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + '.';
    return message;
}

WindowModel::WindowModel(WindowView& view) : view_(view) {}

WindowModel::~WindowModel() {
    StopWorkers();
}

// ---- Start-up ----------------------------------------------------------------------------

void WindowModel::FormCreate(const StartupSources& startup) {
    std::vector<std::string> found, shown;
    const std::vector<std::string> fixed =
        startup.fixedDrives ? startup.fixedDrives() : qm::ListFixedDrives();
    for (const std::string& drive : fixed)
        if (ReadOemId(drive) == "NTFS") {
            found.push_back(drive);
            shown.push_back(drive);
        }
    // Images named on the command line: the image itself, or each NTFS
    // partition of a whole-disk image, under the same test. A partition is
    // shown by its number and label first, so that the partitions of one disk
    // can be told apart in a narrow list.
    for (const std::string& image : startup.images)
        for (const qm::SourceInfo& s : qm::ExpandImage(image))
            if (ReadOemId(s.source) == "NTFS") {
                found.push_back(s.source);
#ifdef _WIN32
                // The Windows face shows the list in the ANSI code page, which the
                // label's text (UTF-8) is not: the source itself is shown there.
                shown.push_back(s.source);
#else
                shown.push_back(qm::SourceListLabel(s));
#endif
            }
    sources_ = found;
    view_.SetDrives(shown);

    ScanRunning.store(false);
    ScanStopRequested.store(false);
    RecoverRunning.store(false);
    RecoverStopRequested.store(false);

    view_.SetPathText(view_.Folder());
}

std::string WindowModel::ReadOemId(const std::string& drive) {
    std::string result;
    auto volume = qm::OpenRawVolume(drive);
    if (!volume) return result;
    std::vector<std::uint8_t> boot(qm::kBootSectorSize, 0);
    (*volume)->ReadAt(0, boot);  // what is not delivered stays zero

    SetLabel(Label::DriveName, qm::DriveNameText(qm::ReadVolumeLabel(drive)));
    std::uint64_t serial = 0;
    for (int i = 0; i < 8; ++i)
        serial |= std::uint64_t{boot[72 + static_cast<std::size_t>(i)]} << (8 * i);
    SetLabel(Label::DriveSerial, qm::DriveSerialText(serial));

    result.assign(reinterpret_cast<const char*>(boot.data()) + 3, 4);
    return result;
}

void WindowModel::SetLabel(Label which, const std::string& text) {
    view_.SetLabel(which, text);
}

void WindowModel::SetDriveLabel(DriveLabel which, const std::string& text) {
    switch (which) {
        case DriveLabel::Name:
            return SetLabel(Label::DriveName, text);
        case DriveLabel::Serial:
            return SetLabel(Label::DriveSerial, text);
        case DriveLabel::Size:
            return SetLabel(Label::DriveSize, text);
        case DriveLabel::MftLocation:
            return SetLabel(Label::MftLocation, text);
        case DriveLabel::MftSize:
            return SetLabel(Label::MftSize, text);
        case DriveLabel::RecordsCount:
            return SetLabel(Label::RecordsCount, text);
    }
}

// ---- Commands ------------------------------------------------------------------------------

void WindowModel::RunCommand(const std::function<void()>& command) {
    try {
        command();
    } catch (const std::exception& e) {
        view_.ShowError(ErrorBoxText(e.what()));
    }
}

std::string WindowModel::SelectedSource() const {
    const int selected = view_.SelectedDrive();
    if (selected < 0 || static_cast<std::size_t>(selected) >= sources_.size())
        throw ListIndexError(selected < 0 ? -1 : selected);
    return sources_[static_cast<std::size_t>(selected)];
}

void WindowModel::btnScanClick() {
    if (ScanRunning.load()) {
        ScanStopRequested.store(true);
        return;
    }
    if (view_.SelectedDrive() < 0) {
        view_.ShowMessage("请先选择一个磁盘!");
        return;
    }
    ScanStopRequested.store(false);
    SetLabel(Label::DeleteFileCount, "删除的文件数: 0");
    const std::string drive = SelectedSource();
    // Raised here rather than by the worker, so that a second press before the
    // worker runs stops it instead of starting another.
    ScanRunning.store(true);
    scans_.push_back(std::make_unique<TScanThread>(false, drive, *this, ScanStopRequested));
}

void WindowModel::btnRecoverClick() {
    if (RecoverRunning.load()) {
        RecoverStopRequested.store(true);
        return;
    }
    const int ticked = rows_.CheckedCount();
    if (ticked == 0) {
        view_.ShowMessage("请选择恢复的文件!");
        return;
    }
    RecoverStopRequested.store(false);
    std::string drive = SelectedSource();
    // The rows' records are read from the volume they were found on, with its
    // geometry: the same positions on another volume hold other files.
    qm::VolumeGeometry geometry = geometry_;
    if (!rowsSource_.empty()) {
        drive = rowsSource_;
        geometry = rowsGeometry_;
    }
    // Writing onto the volume being read can overwrite the very clusters of
    // the deleted files not yet recovered.
    if (view_.FolderIsOnSource(view_.Folder(), drive) &&
        !view_.AskYesNo(
            "输出文件夹位于正在恢复的磁盘上，写入可能覆盖尚未恢复的已删除文件。仍要继续吗?"))
        return;
    RecoverRunning.store(true);
    tally_ = {};
    recovers_.push_back(std::make_unique<TRecoverThread>(false, drive, ticked, geometry, *this,
                                                         RecoverStopRequested));
}

void WindowModel::btn1Click() {
    if (rows_.Count() == 0) return;
    rows_.SetAllChecked(true);
}

void WindowModel::btn2Click() {
    if (rows_.Count() == 0) return;
    rows_.InvertChecks();
}

void WindowModel::CheckBox1Click() {
    rows_.SetAllChecked(view_.SelectAllDeleted());
}

void WindowModel::DLBChange() {
    view_.SetPathText(view_.Folder());
}

void WindowModel::ListView1ColumnClick(int column) {
    SortColumn = column;
    rows_.SortByColumn(column);
}

int WindowModel::ListView1Compare(int rowA, int rowB) const {
    return rows_.Compare(rowA, rowB, SortColumn);
}

RecoverRowQuery WindowModel::TickedRowAt(int from, int limit) const {
    RecoverRowQuery q;
    const int end = std::min(limit, rows_.Count());
    for (int i = std::max(from, 0); i < end; ++i) {
        if (!rows_.Checked(i)) continue;
        q.index = i;
        q.caption = std::string(rows_.Text(i, 0));
        q.name = std::string(rows_.Text(i, 1));
        break;
    }
    q.byName = view_.SaveByName();
    q.folder = view_.Folder();
    return q;
}

// ---- Workers -----------------------------------------------------------------------------------

template <typename W>
void WindowModel::Release(std::vector<std::unique_ptr<W>>& list, W* worker) {
    auto it =
        std::find_if(list.begin(), list.end(), [worker](auto& p) { return p.get() == worker; });
    if (it == list.end()) return;
    std::unique_ptr<W> owned = std::move(*it);
    list.erase(it);
    owned->Join();
}

void WindowModel::ScanIdle() {
    ScanRunning.store(false);
    view_.SetScanCaption(kScanCaption);
    view_.EnableRecover(true);
}

void WindowModel::RecoverIdle() {
    RecoverRunning.store(false);
    view_.SetRecoverCaption(kRecoverCaption);
    view_.EnableScan(true);
}

void WindowModel::StopWorkers() {
    if (!HasWorkers()) return;
    ScanStopRequested.store(true);
    RecoverStopRequested.store(true);
    queue_.Close();
    const bool scanned = !scans_.empty(), recovered = !recovers_.empty();
    for (auto& w : scans_) w->Join();
    for (auto& w : recovers_) w->Join();
    scans_.clear();
    recovers_.clear();
    queue_.Reopen();
    if (scanned) ScanIdle();
    if (recovered) RecoverIdle();
}

// ---- ScanReport ------------------------------------------------------------------------------

void WindowModel::OnScanLabel(DriveLabel which, const std::string& text) {
    queue_.Post([this, which, text] { SetDriveLabel(which, text); });
}

void WindowModel::OnScanGeometry(const qm::VolumeGeometry& g) {
    queue_.Post([this, g] { geometry_ = g; });
}

void WindowModel::OnWalkStart(const std::string& source, const qm::VolumeGeometry& g,
                              std::int64_t recordCount) {
    queue_.Post([this, source, g, recordCount] {
        rows_.Clear();
        rowsSource_ = source;
        rowsGeometry_ = g;
        view_.SetProgressRange(ClampToInt(recordCount > 16 ? recordCount - 16 : 0));
        view_.SetScanCaption(kStopScanCaption);
        view_.EnableRecover(false);
    });
}

void WindowModel::OnScanBatch(std::vector<RowTexts>&& rows, std::optional<std::int64_t> progress,
                              int queuedLimit) {
    queue_.PostBounded(
        [this, rows = std::move(rows), progress] {
            if (!rows.empty()) {
                rows_.AppendRows(rows);
                SetLabel(Label::DeleteFileCount, "删除的文件数：" + std::to_string(rows_.Count()));
            }
            if (progress) view_.SetProgress(ClampToInt(*progress));
        },
        queuedLimit);
}

void WindowModel::OnScanFolders(std::vector<std::string>&& folders) {
    queue_.Post([this, folders = std::move(folders)] { rows_.SetFolders(folders); });
}

void WindowModel::OnScanCopies(BootCopy boot, LayoutSource layout) {
    queue_.Post([this, text = ScanCopiesMessage(boot, layout)] { scanNotice_ = text; });
}

void WindowModel::OnScanEnd(TScanThread* worker, bool walked) {
    queue_.Post([this, worker, walked] {
        ScanRunning.store(false);
        if (walked) ScanIdle();
        Release(scans_, worker);
        const std::string notice = std::exchange(scanNotice_, std::string());
        if (!notice.empty()) view_.ShowMessage(notice);
        view_.OnScanEnded();
    });
}

// ---- RecoverReport ---------------------------------------------------------------------------

void WindowModel::OnRecoverStart(std::int32_t tickedCount) {
    queue_.Post([this, tickedCount] {
        progress_ = 0;
        view_.SetProgressRange(tickedCount);
        view_.SetRecoverCaption(kStopRecoverCaption);
        view_.EnableScan(false);
    });
}

std::optional<int> WindowModel::RowCount() {
    return queue_.Ask<int>([this] { return rows_.Count(); });
}

std::optional<RecoverRowQuery> WindowModel::NextTickedRow(int from, int limit) {
    return queue_.Ask<RecoverRowQuery>([this, from, limit] { return TickedRowAt(from, limit); });
}

void WindowModel::OnFileDone(const RecoverRowQuery& row, const RecoverResult& result) {
    const bool ends = TRecoverThread::EndsRecovery(result);
    queue_.Post([this, name = row.name, result, ends] {
        tally_.Add(name, result, ends);
        view_.SetProgress(++progress_);
    });
}

void WindowModel::OnRecoverEnd(TRecoverThread* worker) {
    queue_.Post([this, worker] {
        RecoverIdle();
        Release(recovers_, worker);
        const std::string message = RecoverEndMessage(tally_);
        if (!message.empty()) view_.ShowMessage(message);
        view_.OnRecoverEnded();
    });
}

}  // namespace qm::window
