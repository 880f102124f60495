// Recognising image formats by content, split raw images, and the volume over a
// container library's reader.
#include "platform/images/ImageVolume.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "platform/AlignedRead.h"

namespace qm {

const char* ImageFormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::Raw:
            return "raw";
        case ImageFormat::SplitRaw:
            return "split raw";
        case ImageFormat::Ewf:
            return "EWF (E01)";
        case ImageFormat::Vhd:
            return "VHD";
        case ImageFormat::Vhdx:
            return "VHDX";
        case ImageFormat::Vmdk:
            return "VMDK";
        case ImageFormat::Qcow:
            return "QCOW";
    }
    return "raw";
}

namespace {

bool StartsWith(const std::vector<std::uint8_t>& bytes, std::string_view magic) {
    return bytes.size() >= magic.size() &&
           std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

}  // namespace

ImageFormat DetectImageFormat(RawVolume& file) {
    std::vector<std::uint8_t> head(512);
    head.resize(file.ReadAt(0, head));
    using namespace std::string_view_literals;
    if (StartsWith(head, "EVF\x09\x0d\x0a\xff\x00"sv) || StartsWith(head, "EVF2\x0d\x0a\x81\x00"sv))
        return ImageFormat::Ewf;
    if (StartsWith(head, "vhdxfile"sv)) return ImageFormat::Vhdx;
    if (StartsWith(head, "conectix"sv)) return ImageFormat::Vhd;  // dynamic: a footer copy first
    if (StartsWith(head, "KDMV"sv) || StartsWith(head, "COWD"sv) ||
        StartsWith(head, "# Disk DescriptorFile"sv))
        return ImageFormat::Vmdk;
    if (StartsWith(head, "QFI\xfb"sv)) return ImageFormat::Qcow;
    // A fixed VHD is the raw disk followed by a 512-byte footer.
    const std::uint64_t size = file.Size();
    if (size >= 1024) {
        std::vector<std::uint8_t> tail(512);
        if (file.ReadAt(size - 512, tail) == tail.size() && StartsWith(tail, "conectix"sv))
            return ImageFormat::Vhd;
    }
    return ImageFormat::Raw;
}

std::vector<ImageFormat> SupportedContainerFormats() {
    std::vector<ImageFormat> formats;
#ifdef QM_HAVE_LIBEWF
    formats.push_back(ImageFormat::Ewf);
#endif
#ifdef QM_HAVE_LIBVHDI
    formats.push_back(ImageFormat::Vhd);
    formats.push_back(ImageFormat::Vhdx);
#endif
#ifdef QM_HAVE_LIBVMDK
    formats.push_back(ImageFormat::Vmdk);
#endif
#ifdef QM_HAVE_LIBQCOW
    formats.push_back(ImageFormat::Qcow);
#endif
    return formats;
}

namespace {

// The next name in a numbered ("001" -> "002") or lettered ("aa" -> "ab",
// "az" -> "ba") sequence of the same width; empty after the last.
std::string NextSuffix(std::string suffix) {
    const bool digits = suffix[0] >= '0' && suffix[0] <= '9';
    for (std::size_t i = suffix.size(); i-- > 0;) {
        char& c = suffix[i];
        if (c != (digits ? '9' : 'z')) {
            ++c;
            return suffix;
        }
        c = digits ? '0' : 'a';
    }
    return {};
}

bool IsFirstSuffix(const std::string& s) {
    if (s.size() >= 3 && s.size() <= 4 &&
        std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::all_of(s.begin(), s.end() - 1, [](char c) { return c == '0'; }) &&
               s.back() == '1';
    if (s.size() >= 2 && s.size() <= 3)
        return std::all_of(s.begin(), s.end(), [](char c) { return c == 'a'; });
    return false;
}

}  // namespace

std::vector<std::string> SplitRawParts(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || dot + 1 >= path.size()) return {};
    const std::string stem = path.substr(0, dot + 1);
    std::string suffix = path.substr(dot + 1);
    if (suffix.find('/') != std::string::npos || !IsFirstSuffix(suffix)) return {};
    std::vector<std::string> parts;
    std::error_code ec;
    while (!suffix.empty() && std::filesystem::is_regular_file(stem + suffix, ec)) {
        parts.push_back(stem + suffix);
        suffix = NextSuffix(suffix);
    }
    if (parts.size() < 2) return {};
    return parts;
}

namespace {

class ConcatVolume final : public RawVolume {
public:
    ConcatVolume(std::vector<std::unique_ptr<RawVolume>> parts, std::string name)
        : parts_(std::move(parts)), name_(std::move(name)) {
        for (const auto& p : parts_) {
            starts_.push_back(size_);
            size_ += p->Size();
        }
    }

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        std::size_t done = 0;
        // The last part that starts at or before `offset`.
        auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
        std::size_t k =
            it == starts_.begin() ? 0 : static_cast<std::size_t>(it - starts_.begin() - 1);
        while (done < buf.size() && k < parts_.size() && offset + done < size_) {
            const std::uint64_t inPart = offset + done - starts_[k];
            const std::uint64_t partLeft = parts_[k]->Size() - inPart;
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(buf.size() - done, partLeft));
            const std::size_t got = parts_[k]->ReadAt(inPart, buf.subspan(done, want));
            done += got;
            if (got < want) break;  // a part that stops short ends the read
            ++k;
        }
        std::fill(buf.begin() + static_cast<std::ptrdiff_t>(done), buf.end(), std::uint8_t{0});
        return done;
    }
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return name_; }

private:
    std::vector<std::unique_ptr<RawVolume>> parts_;
    std::vector<std::uint64_t> starts_;
    std::uint64_t size_ = 0;
    std::string name_;
};

ErrorOr<std::unique_ptr<RawVolume>> OpenSplitRaw(const std::vector<std::string>& names,
                                                 const std::string& path) {
    std::vector<std::unique_ptr<RawVolume>> parts;
    for (const std::string& name : names) {
        auto part = OpenRawVolumePath(name);
        if (!part) return part.take_error();
        parts.push_back(std::move(part).value());
    }
    return MakeConcatVolume(std::move(parts), path);
}

Error NotBuiltIn(const std::string& path, ImageFormat format) {
    return Error::Make(ErrorCode::Unsupported, path + ": a " + ImageFormatName(format) +
                                                   " image, which this build cannot read");
}

}  // namespace

std::unique_ptr<RawVolume> MakeConcatVolume(std::vector<std::unique_ptr<RawVolume>> parts,
                                            std::string name) {
    return std::make_unique<ConcatVolume>(std::move(parts), std::move(name));
}

namespace {

// A container through its library, or refused by name when the build has none.
ErrorOr<std::unique_ptr<RawVolume>> OpenContainer(const std::string& path, ImageFormat format) {
#ifdef QM_HAVE_LIBEWF
    if (format == ImageFormat::Ewf) return OpenEwfImage(path);
#endif
#ifdef QM_HAVE_LIBVHDI
    if (format == ImageFormat::Vhd || format == ImageFormat::Vhdx) return OpenVhdiImage(path);
#endif
#ifdef QM_HAVE_LIBVMDK
    if (format == ImageFormat::Vmdk) return OpenVmdkImage(path);
#endif
#ifdef QM_HAVE_LIBQCOW
    if (format == ImageFormat::Qcow) return OpenQcowImage(path);
#endif
    return NotBuiltIn(path, format);
}

}  // namespace

ErrorOr<std::unique_ptr<RawVolume>> OpenImagePath(const std::string& path) {
    auto opened = OpenRawVolumePath(path);
    if (!opened) return opened;
    // Devices and drives are disks, not containers or parts of a split image.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return opened;
    const ImageFormat format = DetectImageFormat(**opened);
    if (format != ImageFormat::Raw) {
        opened->reset();  // the library opens the file itself
        return OpenContainer(path, format);
    }
    const auto parts = SplitRawParts(path);
    if (!parts.empty()) return OpenSplitRaw(parts, path);
    return opened;
}

// ---- ContainerVolume -------------------------------------------------------------

struct ContainerVolume::State {
    std::mutex lock;
    MediaRead read;
    std::shared_ptr<void> keepAlive;
    std::uint64_t errors = 0;
};

ContainerVolume::ContainerVolume(MediaRead read, std::shared_ptr<void> keepAlive,
                                 std::uint64_t size, std::string name)
    : state_(std::make_shared<State>()), size_(size), name_(std::move(name)) {
    state_->read = std::move(read);
    state_->keepAlive = std::move(keepAlive);
}

std::size_t ContainerVolume::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) {
    std::size_t want = buf.size();
    if (offset >= size_)
        want = 0;
    else if (size_ - offset < want)
        want = static_cast<std::size_t>(size_ - offset);
    std::size_t n = 0;
    if (want > 0) {
        std::lock_guard<std::mutex> hold(state_->lock);
        auto readAt = [this](std::uint64_t pos, std::uint8_t* data, std::size_t len) {
            const std::int64_t r = state_->read(pos, data, len);
            if (r < 0) ++state_->errors;
            return r;
        };
        // Library reads fail in whole; retried in halves down to 512 bytes.
        n = ReadFullyAligned(readAt, offset, buf.first(want), 512);
    }
    std::fill(buf.begin() + static_cast<std::ptrdiff_t>(n), buf.end(), std::uint8_t{0});
    return n;
}

std::uint64_t ContainerVolume::ReadErrors() const {
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->errors;
}

}  // namespace qm
