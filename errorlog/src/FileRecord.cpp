#include "FileRecord.h"

#include "LineFormat.h"
#include "LockPlace.h"
#include "OpenLogFile.h"
#include "Utf8.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// Kept between records up to this size; a larger one is given back.
constexpr std::size_t kKeptCapacity = 64 * 1024;

} // namespace

FileRecord::~FileRecord() {
    commit();
    unmapMutexFile(mLockFile);
}

void FileRecord::begin(bool locked, const std::string& mutexName) {
    mLocked = locked;
    if (locked && mutexName != mLockName) {
        mapLockFile(mutexName);
    }
}

// The file of the named mutex, found as the mutex found it. Should it be
// replaced later (removed at logout, or damaged), this mapping only serves
// the records of this file object: they still know where their own last
// record ended.
void FileRecord::mapLockFile(const std::string& mutexName) {
    unmapMutexFile(mLockFile);
    mLockFile = nullptr;
    mLockName = mutexName;
    const std::string directory = lockDirectory();
    const int dirFd =
        directory.empty() ? -1 : ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        return;
    }
    struct stat st;
    MutexFileLayout* layout = nullptr;
    if (mapMutexFile(dirFd, mutexFileEntry(mutexName), layout, st) == MutexFileFound::Usable) {
        mLockFile = layout;
    }
    ::close(dirFd);
}

bool FileRecord::open(const char* path, bool truncate, bool ownFilesOnly) {
    if (mFd >= 0) {
        return true;
    }
    const int flags = truncate ? O_WRONLY | O_CREAT | O_TRUNC : O_RDWR | O_CREAT | O_APPEND;
    mFd = openLogFile(path, flags, 0666, ownFilesOnly);
    if (mFd < 0) {
        return false;
    }
    mAppending = !truncate;
    mKindChecked = false;
    mDirect = false;
    mTailChecked = false;
    mSizeAtStart = -1;
    mLines.clear();
    return true;
}

// Once per open: whether the file can be positioned at all (pipes, sockets
// and terminals cannot, and nothing is written to them), and whether it is a
// device.
bool FileRecord::checkKind() {
    if (mKindChecked) {
        return true;
    }
    const off_t size = ::lseek(mFd, 0, SEEK_END);
    if (size < 0) {
        return false;
    }
    struct stat st;
    mDirect = size == 0 && ::fstat(mFd, &st) == 0 && !S_ISREG(st.st_mode);
    mSizeAtStart = size;
    mKindChecked = true;
    return true;
}

bool FileRecord::addLine(std::size_t start) {
    repairLineText(mLines, start);
    if (mFd < 0 || !checkKind()) {
        mLines.resize(start);
        return false;
    }
    if (mDirect) {
        const bool written = writeAll(mLines.data() + start, mLines.size() - start);
        mLines.resize(start);
        return written;
    }
    if (mLines.size() > kSingleWriteBound && start > 0 && !writeLines(start)) {
        mLines.clear();
        return false;
    }
    return true;
}

bool FileRecord::commit() {
    if (mFd < 0) {
        return true;
    }
    const bool written = writeLines(mLines.size());
    ::close(mFd);
    mFd = -1;
    if (mLines.capacity() > kKeptCapacity) {
        mLines.shrink_to_fit();
    }
    return written;
}

// Writes the first size bytes of the lines in one write and forgets them.
bool FileRecord::writeLines(std::size_t size) {
    if (size == 0) {
        return true;
    }
    std::uint64_t* tail = mLocked && mLockFile != nullptr ? mLockFile->guarded : nullptr;
    if (!mTailChecked) {
        mTailChecked = true;
        if (mAppending && endsTorn(tail)) {
            mLines.insert(mLines.begin(), kLineEnd);
            ++size;
        }
    }
    const bool written = writeAll(mLines.data(), size);
    // Where our LF ends the file, unless a writer outside the lock appended
    // meanwhile: then the file is longer than this, and the next holder looks
    // at its tail.
    const long long end = written && mAppending && mSizeAtStart >= 0
                              ? mSizeAtStart + static_cast<long long>(size)
                              : -1;
    if (tail != nullptr) {
        tail[0] = static_cast<std::uint64_t>(end);
        tail[1] = end >= 0 ? mPathKey : 0;
    }
    mSizeAtStart = end;
    mLines.erase(0, size);
    return written;
}

// Whether the file ends in a line without its LF: one a writer left when it
// died or the disk filled, or one another writer (outside our lock) is still
// writing. Either way our record must not join it, so it gets a LF; the price
// is a blank line when that other write was only under way (a write that
// crosses a page shows its bytes page by page) and brings its own LF.
bool FileRecord::endsTorn(const std::uint64_t* sharedTail) const {
    const off_t size = static_cast<off_t>(mSizeAtStart);
    if (size <= 0) {
        return false;
    }
    if (sharedTail != nullptr && sharedTail[1] == mPathKey && mPathKey != 0 &&
        sharedTail[0] == static_cast<std::uint64_t>(size)) {
        return false; // the last record under the lock ended here, with its LF
    }
    // Reading the tail of a file that was just written would update its access
    // time, a journal write on every record; we only want a byte. (Allowed on
    // our own files only; elsewhere the flag is refused and the read costs more.)
    ::fcntl(mFd, F_SETFL, O_APPEND | O_NOATIME);
    char last = '\n';
    return ::pread(mFd, &last, 1, size - 1) == 1 && last != '\n';
}

bool FileRecord::writeAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(mFd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace zorv_detail
