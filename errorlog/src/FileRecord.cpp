#include "FileRecord.h"

#include "LineFormat.h"
#include "RefusalCount.h"
#include "SystemCalls.h"
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

void RecordBytes::grow(std::size_t more) {
    std::size_t capacity = mCapacity < 256 ? 256 : mCapacity * 2;
    if (capacity - mSize < more) {
        capacity = mSize + more;
    }
    char* data = new char[capacity];
    if (mSize > 0) {
        std::memcpy(data, mData, mSize);
    }
    delete[] mData;
    mData = data;
    mCapacity = capacity;
}

void RecordBytes::eraseFront(std::size_t count) {
    count = count < mSize ? count : mSize;
    std::memmove(mData, mData + count, mSize - count);
    mSize -= count;
}

void RecordBytes::insertFront(char byte) {
    push_back(byte);
    std::memmove(mData + 1, mData, mSize - 1);
    mData[0] = byte;
}

void RecordBytes::release(std::size_t keep) {
    if (mSize == 0 && mCapacity > keep) {
        delete[] mData;
        mData = nullptr;
        mCapacity = 0;
    }
}

FileRecord::~FileRecord() {
    writeAndClose();
}

bool FileRecord::open(const char* path, bool truncate, PathMemo& memo,
                      const DirectoryJudge& judge) {
    if (mFd >= 0) {
        return true;
    }
    const int flags = truncate ? O_WRONLY | O_CREAT | O_TRUNC : O_RDWR | O_CREAT | O_APPEND;
    struct stat opened;
    mFd = openTrustedPath(path, flags, 0666, judge, memo, nullptr, &opened);
    if (mFd < 0) {
        countRefusal(path, memo.refused != Refusal::None ? memo.refused : Refusal::Open);
        return false;
    }
    mPath = path;
    mAppending = !truncate;
    mLost = false;
    mDirect = false;
    mTailChecked = false;
    // A regular file's kind and end are known from the open's own look at
    // it; any other kind is asked about at the record's first line.
    mKindChecked = S_ISREG(opened.st_mode);
    mSizeAtStart = mKindChecked ? static_cast<long long>(opened.st_size) : -1;
    mLines.truncate(0);
    return true;
}

// Once per open of a file that is not a regular one: whether it can be
// positioned at all (pipes, sockets and terminals cannot, and nothing is
// written to them), and whether it is a device.
bool FileRecord::checkKind() {
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
    const std::size_t unfit = unfitLineByte(mLines.data(), start, mLines.size());
    if (unfit < mLines.size()) {
        const std::string mended = repairedLineText(mLines.data() + unfit, mLines.size() - unfit);
        mLines.truncate(unfit);
        mLines.append(mended);
    }
    if (mFd < 0 || (!mKindChecked && !checkKind())) {
        mLines.truncate(start);
        return false;
    }
    if (mDirect) {
        const bool written = writeAll(mFd, mLines.data() + start, mLines.size() - start);
        mLines.truncate(start);
        mLost = mLost || !written;
        return written;
    }
    if (mLines.size() > kSingleWriteBound && start > 0 && !writeLines(start)) {
        mLines.truncate(0);
        mLost = true;
        return false;
    }
    return true;
}

bool FileRecord::writeAndClose() {
    if (mFd < 0) {
        return true;
    }
    const bool written = writeLines(mLines.size());
    ::close(mFd);
    mFd = -1;
    if (!written || mLost) {
        countRefusal(mPath, Refusal::Write);
    }
    mLines.release(kKeptCapacity);
    return written;
}

// Writes the first size bytes of the lines in one write and forgets them.
bool FileRecord::writeLines(std::size_t size) {
    if (size == 0) {
        return true;
    }
    SharedLogEnd* shared = mShared;
    if (!mTailChecked) {
        mTailChecked = true;
        // No look at the tail when the last record under the lock ended this
        // file right where it ends, with its LF.
        if (mAppending && mSizeAtStart > 0 &&
            (shared == nullptr || !shared->endsAt(mPathKey, mSizeAtStart)) && endsTorn()) {
            mLines.insertFront(kLineEnd);
            ++size;
        }
    }
    const bool written = writeAll(mFd, mLines.data(), size);
    // Where our LF ends the file, unless a writer outside the lock appended
    // meanwhile: then the file is longer than this, and the next holder looks
    // at its tail.
    const long long end = written && mAppending && mSizeAtStart >= 0
                              ? mSizeAtStart + static_cast<long long>(size)
                              : -1;
    if (shared != nullptr) {
        shared->set(mPathKey, end);
    }
    mSizeAtStart = end;
    mLines.eraseFront(size);
    return written;
}

// Whether the file, mSizeAtStart bytes long (more than none), ends in a line
// without its LF: one a writer left when it died or the disk filled, or one
// another writer (outside our lock) is still writing. Either way our record
// must not join it, so it gets a LF; the price is a blank line when that
// other write was only under way (a write that crosses a page shows its
// bytes page by page) and brings its own LF.
bool FileRecord::endsTorn() const {
    // Reading the tail of a file that was just written would update its access
    // time, a journal write on every record; we only want a byte. (Allowed on
    // our own files only; elsewhere the flag is refused and the read costs more.)
    ::fcntl(mFd, F_SETFL, O_APPEND | O_NOATIME);
    char last = '\n';
    return ::pread(mFd, &last, 1, static_cast<off_t>(mSizeAtStart) - 1) == 1 && last != '\n';
}

} // namespace zorv_detail
