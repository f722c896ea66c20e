#ifndef ZORV_SHARED_MUTEXFILEENTRY_H
#define ZORV_SHARED_MUTEXFILEENTRY_H

// What readers of the lock place outside the utility library may know of a
// named mutex's file: its entry's name and the header words that tell a
// complete file of this layout. The utility library lays the rest out
// (zorvutil/src/MutexFile.h) and checks that these agree with it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace zorv_detail {

// "ZMTX" read as a little-endian number. It is written last, when the file is
// complete, so a file whose magic is still 0 was never finished.
constexpr std::uint32_t kMutexFileMagic = 0x58544D5Au;
// Raised whenever the layout changes. The version is part of the file name as
// well (kMutexFileSuffix), so processes of an older library keep their own
// files instead of finding ours damaged, and the other way round.
constexpr std::uint32_t kMutexFileVersion = 2;
constexpr const char* kMutexFileSuffix = ".v2";
constexpr std::size_t kMutexFileSize = 128;

// The entry of a (non-empty) mutex name in the lock place: the name itself
// when it matches [A-Za-z0-9._-]{1,200} and is not "." or "..", else "h-"
// and the 16 lowercase hex digits of its 64-bit FNV-1a hash; then
// kMutexFileSuffix.
std::string mutexFileEntry(const std::string& name);

// The name of the mutex the loggers take around each record of the log file
// at path: its last component and ".Mutex", so that every log of that name
// shares it, wherever it lies. Empty when the path has no last component.
std::string logMutexName(const std::string& path);

} // namespace zorv_detail

#endif
