// VMDK images through libvmdk, opened read-only.
#include <libvmdk.h>

#include "platform/images/ImageVolume.h"
#include "platform/images/LibyalSupport.h"

namespace qm {
namespace {

std::string TakeVmdkError(libvmdk_error_t*& e, const char* fallback) {
    return libyal::TakeError(e, libvmdk_error_sprint, libvmdk_error_free, fallback);
}

struct VmdkHandle {
    libvmdk_handle_t* handle = nullptr;
    bool open = false;
    ~VmdkHandle() {
        libvmdk_error_t* e = nullptr;
        if (open) libvmdk_handle_close(handle, &e);
        libvmdk_error_free(&e);
        if (handle != nullptr) libvmdk_handle_free(&handle, &e);
        libvmdk_error_free(&e);
    }
};

}  // namespace

ErrorOr<std::unique_ptr<RawVolume>> OpenVmdkImage(const std::string& path) {
    auto h = std::make_shared<VmdkHandle>();
    libvmdk_error_t* e = nullptr;
    size64_t size = 0;
    if (libvmdk_handle_initialize(&h->handle, &e) != 1 ||
        libvmdk_handle_open(h->handle, path.c_str(), LIBVMDK_OPEN_READ, &e) != 1)
        return libyal::OpenFailed(path, "VMDK", TakeVmdkError(e, "the library refused it"));
    h->open = true;
    // The extents (the data files a descriptor names, or the sparse file itself).
    if (libvmdk_handle_open_extent_data_files(h->handle, &e) != 1)
        return libyal::OpenFailed(path, "VMDK",
                                  TakeVmdkError(e, "its extent files cannot be opened"));
    if (libvmdk_handle_get_media_size(h->handle, &size, &e) != 1)
        return libyal::OpenFailed(path, "VMDK", TakeVmdkError(e, "its size is unknown"));

    MediaRead read = [h](std::uint64_t offset, std::uint8_t* data, std::size_t n) -> std::int64_t {
        if (!libyal::ReadFits(offset, n)) return -1;
        libvmdk_error_t* err = nullptr;
        const ssize_t r = libvmdk_handle_read_buffer_at_offset(h->handle, data, n,
                                                               static_cast<off64_t>(offset), &err);
        libvmdk_error_free(&err);
        return r;
    };
    return std::unique_ptr<RawVolume>(
        std::make_unique<ContainerVolume>(std::move(read), h, size, path));
}

}  // namespace qm
