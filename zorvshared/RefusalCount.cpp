#include "RefusalCount.h"

#include "LockPlace.h"
#include "MutexFileEntry.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// The file's header, as the utility library writes it.
struct Header {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t size;
};

// The mutex file of the log's name in lockDir, mapped when it is a complete
// file of this layout owned by owner; null otherwise, with errno or *problem.
void* mapCount(const std::string& lockDir, const std::string& logPath, uid_t owner, bool write,
               std::string* problem, bool* missing = nullptr) {
    const std::string name = logMutexName(logPath);
    if (lockDir.empty() || name.empty()) {
        return nullptr;
    }
    const std::string path = lockDir + "/" + mutexFileEntry(name);
    const int fd =
        ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (missing != nullptr) {
            *missing = errno == ENOENT;
        }
        if (problem != nullptr) {
            *problem = errno == ENOENT ? path + " does not exist yet: no record of that name was "
                                                "refused or locked since the lock place was made"
                                       : path + ": " + std::strerror(errno);
        }
        return nullptr;
    }
    struct stat st;
    void* addr = MAP_FAILED;
    const bool looked = ::fstat(fd, &st) == 0;
    // Another owner's file is nobody's count of this user: whoever owns it
    // could have written any number into it.
    const bool owned = looked && st.st_uid == owner;
    if (owned && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) == kMutexFileSize) {
        addr = ::mmap(nullptr, kMutexFileSize, write ? PROT_READ | PROT_WRITE : PROT_READ,
                      MAP_SHARED, fd, 0);
    }
    ::close(fd);
    const auto* header = static_cast<const Header*>(addr);
    if (addr != MAP_FAILED &&
        __atomic_load_n(&header->magic, __ATOMIC_ACQUIRE) == kMutexFileMagic &&
        header->version == kMutexFileVersion && header->size == kMutexFileSize) {
        return addr;
    }
    if (addr != MAP_FAILED) {
        ::munmap(addr, kMutexFileSize);
    }
    if (problem != nullptr) {
        *problem = path + (looked && !owned
                               ? " belongs to " + uidText(st.st_uid) + ", not to " + uidText(owner)
                               : std::string(" is not a mutex file of this version"));
    }
    return nullptr;
}

std::uint64_t* countWords(void* mapped) {
    return reinterpret_cast<std::uint64_t*>(static_cast<char*>(mapped) + kRefusalWordsOffset);
}

} // namespace

bool countRefusal(const std::string& logPath, Refusal why) {
    void* mapped = mapCount(lockDirectory(), logPath, ::geteuid(), true, nullptr);
    if (mapped == nullptr) {
        return false;
    }
    std::uint64_t* words = countWords(mapped);
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    __atomic_fetch_add(&words[0], 1, __ATOMIC_RELAXED);
    __atomic_store_n(&words[1], (now << 8) | static_cast<std::uint8_t>(why), __ATOMIC_RELEASE);
    ::munmap(mapped, kMutexFileSize);
    return true;
}

bool readRefusals(const std::string& lockDir, const std::string& logPath, uid_t owner,
                  RefusalTally& tally, std::string* problem) {
    tally = RefusalTally();
    std::string why;
    bool missing = false;
    void* mapped = mapCount(lockDir, logPath, owner, false, &why, &missing);
    if (mapped == nullptr) {
        if (problem != nullptr) {
            *problem = lockDir.empty() ? "no lock place" : why;
        }
        return missing;
    }
    const std::uint64_t* words = countWords(mapped);
    const std::uint64_t last = __atomic_load_n(&words[1], __ATOMIC_ACQUIRE);
    tally.count = __atomic_load_n(&words[0], __ATOMIC_RELAXED);
    tally.last = static_cast<std::int64_t>(last >> 8);
    tally.reason = static_cast<Refusal>(last & 0xff);
    ::munmap(mapped, kMutexFileSize);
    return true;
}

} // namespace zorv_detail
