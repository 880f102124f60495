// QCOW images through libqcow, opened read-only.
#include <libqcow.h>

#include "platform/images/ImageVolume.h"
#include "platform/images/LibyalSupport.h"

namespace qm {
namespace {

std::string TakeQcowError(libqcow_error_t*& e, const char* fallback) {
    return libyal::TakeError(e, libqcow_error_sprint, libqcow_error_free, fallback);
}

struct QcowHandle {
    libqcow_file_t* file = nullptr;
    bool open = false;
    ~QcowHandle() {
        libqcow_error_t* e = nullptr;
        if (open) libqcow_file_close(file, &e);
        libqcow_error_free(&e);
        if (file != nullptr) libqcow_file_free(&file, &e);
        libqcow_error_free(&e);
    }
};

}  // namespace

ErrorOr<std::unique_ptr<RawVolume>> OpenQcowImage(const std::string& path) {
    auto h = std::make_shared<QcowHandle>();
    libqcow_error_t* e = nullptr;
    size64_t size = 0;
    if (libqcow_file_initialize(&h->file, &e) != 1 ||
        libqcow_file_open(h->file, path.c_str(), LIBQCOW_OPEN_READ, &e) != 1)
        return libyal::OpenFailed(path, "QCOW", TakeQcowError(e, "the library refused it"));
    h->open = true;
    if (libqcow_file_get_media_size(h->file, &size, &e) != 1)
        return libyal::OpenFailed(path, "QCOW", TakeQcowError(e, "its size is unknown"));

    MediaRead read = [h](std::uint64_t offset, std::uint8_t* data, std::size_t n) -> std::int64_t {
        if (!libyal::ReadFits(offset, n)) return -1;
        libqcow_error_t* err = nullptr;
        const ssize_t r = libqcow_file_read_buffer_at_offset(h->file, data, n,
                                                             static_cast<off64_t>(offset), &err);
        libqcow_error_free(&err);
        return r;
    };
    return std::unique_ptr<RawVolume>(
        std::make_unique<ContainerVolume>(std::move(read), h, size, path));
}

}  // namespace qm
