#include "AppendStream.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// How often, and how far apart, a tail without LF is looked at before it
// counts as torn: a writer outside our lock may be half-way through a large
// write, whose bytes become visible page by page; only a tail that stays put
// is torn.
constexpr int kTailLooks = 3;
constexpr long kTailPauseNs = 200 * 1000;

// Kept between records up to this size; a larger one is given back.
constexpr std::size_t kKeptCapacity = 64 * 1024;

} // namespace

void AppendStream::opened(int fd, bool appending) {
    mFd = fd;
    mAppending = appending;
    mKindChecked = false;
    mDirect = false;
    mTailChecked = false;
    mPending.clear();
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
    mKindChecked = true;
    return true;
}

bool AppendStream::addLine(const std::string& line, bool lockHeld) {
    if (!checkKind()) {
        return false;
    }
    if (mDirect) {
        return writeAll(line.data(), line.size());
    }
    if (mPending.size() + line.size() > kSingleWriteBound && !mPending.empty() &&
        !writeRecord(lockHeld)) {
        return false;
    }
    mPending += line;
    return true;
}

bool AppendStream::writeRecord(bool lockHeld) {
    if (mPending.empty()) {
        return true;
    }
    if (!mTailChecked) {
        mTailChecked = true;
        if (lockHeld && mAppending && endsTorn()) {
            mPending.insert(mPending.begin(), '\n');
        }
    }
    const bool written = writeAll(mPending.data(), mPending.size());
    mKnownEnd = -1;
    if (written && mAppending) {
        // An append stream's offset is where its last write ended.
        mKnownEnd = ::lseek(mFd, 0, SEEK_CUR);
    }
    mPending.clear();
    if (mPending.capacity() > kKeptCapacity) {
        mPending.shrink_to_fit();
    }
    return written;
}

bool AppendStream::endsTorn() {
    off_t size = ::lseek(mFd, 0, SEEK_END);
    if (size <= 0 || size == mKnownEnd) {
        return false;
    }
    // Reading the tail of a file that was just written would update its access
    // time, a journal write on every record; we only want a byte. (Allowed on
    // our own files only; elsewhere the flag is refused and the read costs more.)
    ::fcntl(mFd, F_SETFL, O_APPEND | O_NOATIME);
    for (int look = 1;; ++look) {
        char last = '\n';
        if (::pread(mFd, &last, 1, size - 1) != 1 || last == '\n') {
            return false;
        }
        if (look == kTailLooks) {
            return true;
        }
        struct timespec pause = {0, kTailPauseNs};
        ::nanosleep(&pause, nullptr);
        const off_t now = ::lseek(mFd, 0, SEEK_END);
        if (now == size) {
            return true;
        }
        if (now <= 0) {
            return false;
        }
        size = now;
    }
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
