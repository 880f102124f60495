// VHD/VHDX images through libvhdi, opened read-only.
#include <libvhdi.h>

#include "platform/images/ImageVolume.h"
#include "platform/images/LibyalSupport.h"

namespace qm {
namespace {

std::string TakeVhdiError(libvhdi_error_t*& e, const char* fallback) {
    return libyal::TakeError(e, libvhdi_error_sprint, libvhdi_error_free, fallback);
}

struct VhdiHandle {
    libvhdi_file_t* file = nullptr;
    bool open = false;
    ~VhdiHandle() {
        libvhdi_error_t* e = nullptr;
        if (open) libvhdi_file_close(file, &e);
        libvhdi_error_free(&e);
        if (file != nullptr) libvhdi_file_free(&file, &e);
        libvhdi_error_free(&e);
    }
};

}  // namespace

ErrorOr<std::unique_ptr<RawVolume>> OpenVhdiImage(const std::string& path) {
    auto h = std::make_shared<VhdiHandle>();
    libvhdi_error_t* e = nullptr;
    size64_t size = 0;
    if (libvhdi_file_initialize(&h->file, &e) != 1 ||
        libvhdi_file_open(h->file, path.c_str(), LIBVHDI_OPEN_READ, &e) != 1)
        return libyal::OpenFailed(path, "VHD/VHDX", TakeVhdiError(e, "the library refused it"));
    h->open = true;
    if (libvhdi_file_get_media_size(h->file, &size, &e) != 1)
        return libyal::OpenFailed(path, "VHD/VHDX", TakeVhdiError(e, "its size is unknown"));

    MediaRead read = [h](std::uint64_t offset, std::uint8_t* data, std::size_t n) -> std::int64_t {
        if (!libyal::ReadFits(offset, n)) return -1;
        libvhdi_error_t* err = nullptr;
        const ssize_t r = libvhdi_file_read_buffer_at_offset(h->file, data, n,
                                                             static_cast<off64_t>(offset), &err);
        libvhdi_error_free(&err);
        return r;
    };
    return std::unique_ptr<RawVolume>(
        std::make_unique<ContainerVolume>(std::move(read), h, size, path));
}

}  // namespace qm
