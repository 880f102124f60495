// Number forms and the drive-information label texts.
#include <algorithm>
#include <charconv>
#include <string>

#include "ntfs/uNTFS.h"

namespace qm {

std::string DecimalText(std::int64_t value) {
    char buf[24];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

std::string UDecimalText(std::uint64_t value) {
    char buf[24];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

std::string HexText(std::uint64_t value, int minDigits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    minDigits = std::clamp(minDigits, 1, 16);
    int digits = 1;
    while (digits < 16 && (value >> (4 * digits)) != 0) ++digits;
    digits = std::max(digits, minDigits);
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = 0; i < digits; ++i)
        out[static_cast<std::size_t>(digits - 1 - i)] = kDigits[(value >> (4 * i)) & 15];
    return out;
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
