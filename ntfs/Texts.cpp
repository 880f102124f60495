// Number forms and the drive-information label texts.
#include <cinttypes>
#include <cstdio>

#include "ntfs/uNTFS.h"

namespace qm {

std::string DecimalText(std::int64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRId64, value);
    return buf;
}

std::string UDecimalText(std::uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRIu64, value);
    return buf;
}

std::string HexText(std::uint64_t value, int minDigits) {
    if (minDigits < 1) minDigits = 1;
    if (minDigits > 16) minDigits = 16;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%0*" PRIX64, minDigits, value);
    return buf;
}

std::string DriveNameText(const std::string& label) {
    return "名称: " + label;
}
std::string DriveSerialText(std::uint64_t serial) {
    return "序号: " + HexText(serial, 8);
}
std::string DriveSizeText(std::int64_t bytes) {
    return "大小 : " + DecimalText(bytes) + " 字节";
}
std::string DriveMftLocationText(std::uint64_t offset) {
    return "MFT位置 : 0x" + HexText(offset, 2);
}
std::string DriveMftSizeText(std::int64_t bytes) {
    return "MFT大小 : " + DecimalText(bytes) + " 字节";
}
std::string DriveRecordsCountText(std::int64_t count) {
    return "文件数 : " + DecimalText(count);
}

}  // namespace qm
