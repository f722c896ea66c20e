#include "AppendStream.h"

#include "OpenLogFile.h"
#include "RecordLock.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// Kept between records up to this size; a larger one is given back.
constexpr std::size_t kKeptCapacity = 64 * 1024;

} // namespace

AppendStream::~AppendStream() {
    close(nullptr);
    if (mFace != nullptr) {
        std::fclose(mFace);
    }
}

bool AppendStream::open(const char* path, bool truncate, bool ownFilesOnly) {
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
    mPending.clear();
    return true;
}

FILE* AppendStream::face() {
    if (mFace == nullptr) {
        cookie_io_functions_t functions = {nullptr, &AppendStream::joinRecord, nullptr, nullptr};
        mFace = ::fopencookie(this, "w", functions);
        if (mFace != nullptr) {
            // Unbuffered: what is written is in the record at once.
            std::setvbuf(mFace, nullptr, _IONBF, 0);
        }
    }
    return mFace;
}

ssize_t AppendStream::joinRecord(void* cookie, const char* data, std::size_t size) {
    auto* stream = static_cast<AppendStream*>(cookie);
    return stream->isOpen() && stream->addLine(std::string(data, size), nullptr)
               ? static_cast<ssize_t>(size)
               : -1;
}

bool AppendStream::close(const RecordLock* lock) {
    if (mFd < 0) {
        return true;
    }
    const bool written = writeRecord(lock);
    ::close(mFd);
    mFd = -1;
    return written;
}

// Once per open: whether the file can be positioned at all (pipes, sockets
// and terminals cannot, and nothing is written to them), and whether it is a
// device.
bool AppendStream::checkKind() {
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

bool AppendStream::addLine(const std::string& line, const RecordLock* lock) {
    if (!checkKind()) {
        return false;
    }
    if (mDirect) {
        return writeAll(line.data(), line.size());
    }
    if (mPending.size() + line.size() > kSingleWriteBound && !mPending.empty() &&
        !writeRecord(lock)) {
        return false;
    }
    mPending += line;
    return true;
}

bool AppendStream::writeRecord(const RecordLock* lock) {
    if (mPending.empty()) {
        return true;
    }
    std::uint64_t* tail = lock != nullptr ? lock->sharedTail() : nullptr;
    if (!mTailChecked) {
        mTailChecked = true;
        if (mAppending && endsTorn(tail)) {
            mPending.insert(mPending.begin(), '\n');
        }
    }
    const bool written = writeAll(mPending.data(), mPending.size());
    // Where our LF ends the file, unless a writer outside the lock appended
    // meanwhile: then the file is longer than this, and the next holder looks
    // at its tail.
    const long long end = written && mAppending && mSizeAtStart >= 0
                              ? mSizeAtStart + static_cast<long long>(mPending.size())
                              : -1;
    if (tail != nullptr) {
        tail[0] = static_cast<std::uint64_t>(end);
        tail[1] = end >= 0 ? mPathKey : 0;
    }
    mSizeAtStart = end;
    mPending.clear();
    if (mPending.capacity() > kKeptCapacity) {
        mPending.shrink_to_fit();
    }
    return written;
}

// Whether the file ends in a line without its LF: one a writer left when it
// died or the disk filled, or one another writer (outside our lock) is still
// writing. Either way our record must not join it, so it gets a LF; the price
// is a blank line when that other write was only under way (a write that
// crosses a page shows its bytes page by page) and brings its own LF.
bool AppendStream::endsTorn(const std::uint64_t* sharedTail) const {
    off_t size = static_cast<off_t>(mSizeAtStart);
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

bool AppendStream::writeAll(const char* data, std::size_t size) {
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
