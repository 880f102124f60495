// EnCase / Expert Witness images (E01, Ex01, with their further segments)
// through libewf, opened read-only.
#include <libewf.h>

#include <cstring>
#include <utility>
#include <vector>

#include "base/ByteView.h"
#include "platform/images/ImageVolume.h"
#include "platform/images/LibyalSupport.h"

namespace qm {
namespace {

std::string TakeEwfError(libewf_error_t*& e, const char* fallback) {
    return libyal::TakeError(e, libewf_error_sprint, libewf_error_free, fallback);
}

struct EwfHandle {
    libewf_handle_t* handle = nullptr;
    std::uint32_t sectorSize = 512;
    // Byte ranges the library reported as bad (a chunk that fails its
    // checksum, or one whose segment is missing): it hands them out as zeros.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bad;
    std::uint32_t badSeen = 0;
    ~EwfHandle() {
        libewf_error_t* e = nullptr;
        if (handle != nullptr) {
            libewf_handle_close(handle, &e);
            libewf_error_free(&e);
            libewf_handle_free(&handle, &e);
            libewf_error_free(&e);
        }
    }

    // Takes in the ranges the library added to its list since the last call.
    void RefreshBad() {
        libewf_error_t* e = nullptr;
        std::uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(handle, &count, &e) != 1) {
            libewf_error_free(&e);
            return;
        }
        for (std::uint32_t i = badSeen; i < count; ++i) {
            std::uint64_t first = 0, sectors = 0;
            if (libewf_handle_get_checksum_error(handle, i, &first, &sectors, &e) != 1) {
                libewf_error_free(&e);
                continue;
            }
            auto begin = CheckedMul(first, sectorSize);
            auto length = CheckedMul(sectors, sectorSize);
            auto end = begin && length ? CheckedAdd(*begin, *length) : std::nullopt;
            bad.emplace_back(begin.value_or(0), end.value_or(UINT64_MAX));
        }
        badSeen = count;
    }

    // How many of the `n` bytes read at `offset` come before the first bad byte.
    std::uint64_t GoodPrefix(std::uint64_t offset, std::uint64_t n) const {
        std::uint64_t good = n;
        for (const auto& [begin, end] : bad)
            if (begin < offset + good && end > offset) good = begin > offset ? begin - offset : 0;
        return good;
    }

    std::int64_t Read(std::uint64_t offset, std::uint8_t* data, std::size_t n) {
        if (!libyal::ReadFits(offset, n)) return -1;
        libewf_error_t* err = nullptr;
        const ssize_t r =
            libewf_handle_read_random(handle, data, n, static_cast<off64_t>(offset), &err);
        libewf_error_free(&err);
        if (r <= 0) return r;
        RefreshBad();
        const std::uint64_t good = GoodPrefix(offset, static_cast<std::uint64_t>(r));
        return good == 0 ? -1 : static_cast<std::int64_t>(good);
    }
};

// Every segment of the set `path` belongs to (NAME.E01, NAME.E02, ...).
ErrorOr<std::vector<std::string>> EwfSegments(const std::string& path) {
    libewf_error_t* e = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) != 1)
        return libyal::OpenFailed(path, "EWF", TakeEwfError(e, "its segments cannot be found"));
    std::vector<std::string> segments(names, names + count);
    libewf_glob_free(names, count, &e);
    libewf_error_free(&e);
    if (segments.empty()) segments.push_back(path);
    return segments;
}

}  // namespace

ErrorOr<std::unique_ptr<RawVolume>> OpenEwfImage(const std::string& path) {
    auto segments = EwfSegments(path);
    if (!segments) return segments.take_error();
    std::vector<char*> names;
    for (std::string& s : *segments) names.push_back(s.data());

    auto h = std::make_shared<EwfHandle>();
    libewf_error_t* e = nullptr;
    size64_t size = 0;
    if (libewf_handle_initialize(&h->handle, &e) != 1 ||
        libewf_handle_open(h->handle, names.data(), static_cast<int>(names.size()),
                           LIBEWF_OPEN_READ, &e) != 1 ||
        libewf_handle_get_media_size(h->handle, &size, &e) != 1)
        return libyal::OpenFailed(path, "EWF", TakeEwfError(e, "the library refused it"));

    // A set with a segment missing or cut short reads as zeros where the
    // library lacks chunks, without saying so: refused instead.
    if (libewf_handle_segment_files_corrupted(h->handle, &e) != 0)
        return libyal::OpenFailed(path, "EWF",
                                  TakeEwfError(e,
                                               "its segment files are incomplete or damaged "
                                               "(is a segment missing?)"));
    std::uint32_t bytesPerSector = 0;
    if (libewf_handle_get_bytes_per_sector(h->handle, &bytesPerSector, &e) == 1 && bytesPerSector)
        h->sectorSize = bytesPerSector;
    libewf_error_free(&e);
    MediaRead read = [h](std::uint64_t offset, std::uint8_t* data, std::size_t n) {
        return h->Read(offset, data, n);
    };
    return std::unique_ptr<RawVolume>(
        std::make_unique<ContainerVolume>(std::move(read), h, size, path));
}

}  // namespace qm
