#ifndef ZORV_MUTEX_FILE_H
#define ZORV_MUTEX_FILE_H

// The layout of a named-mutex file in /dev/shm/zorv-<uid>/. Internal to the
// utility library (and its tests, which stage damaged files with it).

#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace zorv_detail {

// "ZMTX" read as a little-endian number. It is written last, at the end of the
// first set-up, so a file whose magic is still 0 has never been finished.
constexpr std::uint32_t kMutexFileMagic = 0x58544D5Au;
// Raised whenever the layout below changes; a file of another version is not used.
constexpr std::uint32_t kMutexFileVersion = 1;

// Every process of the user maps the same bytes; the pthread mutex lives in them.
struct alignas(64) MutexFileLayout {
    std::uint32_t magic;    // kMutexFileMagic once the file is set up
    std::uint32_t version;  // kMutexFileVersion
    std::uint32_t size;     // sizeof(MutexFileLayout), the file's exact size
    std::uint32_t reserved; // 0
    pthread_mutex_t mutex;  // robust, process-shared, error-checking
};

constexpr std::size_t kMutexFileSize = sizeof(MutexFileLayout);

// The directory is this prefix followed by the effective user id, whatever the
// environment says.
constexpr const char* kMutexDirPrefix = "/dev/shm/zorv-";

} // namespace zorv_detail

#endif
