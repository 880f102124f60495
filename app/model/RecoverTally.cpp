// What the window says at the end of a recovery, and after a scan that read
// the volume through a copy of its boot sector or of MFT record 0.
#include <string>

#include "app/model/WindowModel.h"

namespace qm::window {
namespace {

const char* StatusReason(RecoverStatus s) {
    switch (s) {
        case RecoverStatus::Written:
        case RecoverStatus::Cancelled:
            return "";
        case RecoverStatus::Damaged:
            return "部分内容无法读取，已用零填充";
        case RecoverStatus::BadPosition:
            return "记录位置无效";
        case RecoverStatus::OpenFailed:
            return "无法打开磁盘";
        case RecoverStatus::BadRecord:
            return "MFT记录已损坏";
        case RecoverStatus::InUse:
            return "记录已被重新使用";
        case RecoverStatus::NoData:
            return "记录中没有文件数据";
        case RecoverStatus::Malformed:
            return "文件数据的位置信息已损坏";
        case RecoverStatus::Encrypted:
            return "文件已加密，无法恢复";
        case RecoverStatus::SourceFailed:
            return "磁盘已无法读取";
        case RecoverStatus::OutputFailed:
            return "无法写入输出文件";
    }
    return "";
}

std::uint64_t UnreadableBytes(const RecoverResult& r) {
    std::uint64_t n = 0;
    for (const ByteRange& b : r.unreadable) n += b.length;
    return n;
}

}  // namespace

std::string RecoverReasonText(const RecoverResult& result) {
    std::string text = StatusReason(result.status);
    if (result.status == RecoverStatus::Damaged && !result.unreadable.empty())
        text += " (" + std::to_string(UnreadableBytes(result)) + " 字节)";
    if (result.status == RecoverStatus::OutputFailed && result.systemError != 0)
        text += ": " + AnsiToUtf8(SystemErrorText(result.systemError));
    return text;
}

void RecoverTally::Add(const std::string& name8, const RecoverResult& result, bool ended) {
    switch (result.status) {
        case RecoverStatus::Written:
            ++written;
            return;
        case RecoverStatus::Cancelled:
            return;
        case RecoverStatus::Damaged:
            ++damaged;
            break;
        default:
            ++givenUp;
            break;
    }
    const std::string reason = RecoverReasonText(result);
    if (reasons.size() < kReasons) reasons.push_back(AnsiToUtf8(name8) + ": " + reason);
    if (ended) endedBy = reason;
}

std::string RecoverEndMessage(const RecoverTally& tally) {
    if (tally.damaged == 0 && tally.givenUp == 0) return "";
    std::string text = "恢复结束: " + std::to_string(tally.written) + " 个文件完好, " +
                       std::to_string(tally.damaged) + " 个文件已损坏, " +
                       std::to_string(tally.givenUp) + " 个文件未能恢复。";
    for (const std::string& r : tally.reasons) text += "\n" + r;
    if (!tally.endedBy.empty()) text += "\n恢复已中止: " + tally.endedBy;
    return text;
}

std::string ScanCopiesMessage(BootCopy boot, LayoutSource layout) {
    std::string text;
    if (boot == BootCopy::Backup) text += "引导扇区已损坏或无法读取，已使用卷末尾的备份引导扇区。";
    if (layout == LayoutSource::Mirror)
        text += (text.empty() ? "" : "\n") +
                std::string("MFT记录0已损坏或无法读取，已使用$MFTMirr中的副本。");
    if (layout == LayoutSource::Contiguous)
        text += (text.empty() ? "" : "\n") +
                std::string(
                    "MFT记录0及其副本均无法使用，已将MFT按一段连续区域读取，部分文件可能未列出。");
    return text;
}

}  // namespace qm::window
