#include "MutexFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

std::uint32_t loadMagic(const MutexFileLayout* layout) {
    return __atomic_load_n(&layout->magic, __ATOMIC_ACQUIRE);
}

bool headerValid(const MutexFileLayout* layout) {
    return loadMagic(layout) == kMutexFileMagic && layout->version == kMutexFileVersion &&
           layout->size == kMutexFileSize;
}

} // namespace

MutexFileFound mapMutexFile(int dirFd, const std::string& entry, MutexFileLayout*& layout,
                            struct stat& st) {
    layout = nullptr;
    // O_NOFOLLOW: a link is not followed (ELOOP). O_NONBLOCK: a FIFO cannot
    // stall the open.
    const int fd = ::openat(dirFd, entry.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (::fstatat(dirFd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return MutexFileFound::Missing;
        }
        return error == ENOENT ? MutexFileFound::Missing : MutexFileFound::Unusable;
    }
    // Size first: mapping a file shorter than the layout would fault on the
    // first touch of the missing page.
    void* addr = MAP_FAILED;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        static_cast<std::size_t>(st.st_size) == kMutexFileSize) {
        addr = ::mmap(nullptr, kMutexFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (addr == MAP_FAILED) {
        return MutexFileFound::Unusable;
    }
    auto* mapped = static_cast<MutexFileLayout*>(addr);
    if (!headerValid(mapped)) {
        unmapMutexFile(mapped);
        return MutexFileFound::Unusable;
    }
    layout = mapped;
    return MutexFileFound::Usable;
}

void unmapMutexFile(MutexFileLayout* layout) {
    if (layout != nullptr) {
        ::munmap(layout, kMutexFileSize);
    }
}

} // namespace zorv_detail
