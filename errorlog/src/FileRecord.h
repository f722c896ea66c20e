#ifndef ZORV_ERRORLOG_FILERECORD_H
#define ZORV_ERRORLOG_FILERECORD_H

// One record on its way into a log file: the file opened for it, its lines
// collected, and the named mutex it is written under. The lines leave in a
// single write(2) when the file is closed (writeAndClose), so that the records of
// writers who share no lock (two users, a lock that could not be had, a
// holder that outlasted the wait) still never mix: on local filesystems,
// appends made by single writes do not interleave.
//
// Every ZorvDelimitedFile has one, behind its private pointer; the logger's
// RecordGuard lends it the lock's shared words while it holds the lock, the
// file's writers add the lines.

#include "OpenTrustedPath.h"
#include "SharedLogEnd.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zorv_detail {

// The bytes of a record's lines. A line is made of a few small pieces
// (zorvshared/LineFormat.h), each added here in a few instructions, with no
// allocation once the room has grown to the record's size.
class RecordBytes {
public:
    RecordBytes() = default;
    ~RecordBytes() { delete[] mData; }
    RecordBytes(const RecordBytes&) = delete;
    RecordBytes& operator=(const RecordBytes&) = delete;

    const char* data() const { return mData; }
    std::size_t size() const { return mSize; }

    void append(std::string_view bytes) {
        const std::size_t n = bytes.size();
        if (n > mCapacity - mSize) {
            grow(n);
        }
        char* to = mData + mSize;
        const char* from = bytes.data();
        // The pieces of a line are mostly short: copied here in two
        // overlapping moves rather than by a call.
        if (n >= 8 && n <= 16) {
            std::memcpy(to, from, 8);
            std::memcpy(to + n - 8, from + n - 8, 8);
        } else if (n >= 4 && n < 8) {
            std::memcpy(to, from, 4);
            std::memcpy(to + n - 4, from + n - 4, 4);
        } else if (n < 4) {
            for (std::size_t i = 0; i < n; ++i) {
                to[i] = from[i];
            }
        } else {
            std::memcpy(to, from, n);
        }
        mSize += n;
    }
    void push_back(char byte) {
        if (mSize == mCapacity) {
            grow(1);
        }
        mData[mSize++] = byte;
    }
    // Keeps the first size bytes (no more than there are).
    void truncate(std::size_t size) { mSize = size < mSize ? size : mSize; }
    void eraseFront(std::size_t count);
    void insertFront(char byte);
    // Gives back room beyond keep, when empty.
    void release(std::size_t keep);

private:
    void grow(std::size_t more);

    char* mData = nullptr;
    std::size_t mSize = 0;
    std::size_t mCapacity = 0;
};

class FileRecord {
public:
    FileRecord() = default;
    ~FileRecord();
    FileRecord(const FileRecord&) = delete;
    FileRecord& operator=(const FileRecord&) = delete;

    // A record larger than this goes out in several writes, in order, each
    // this large; below it, a record is always one write. (Linux writes at
    // most 0x7ffff000 bytes in one call.)
    static constexpr std::size_t kSingleWriteBound = 4u << 20;

    // What the holders of the file's named mutex keep together, while this
    // record's writer holds it; null when the record goes without the lock.
    void useSharedEnd(SharedLogEnd* shared) { mShared = shared; }

    // Opens the file: for appending (created when missing), or, with
    // truncate, emptied to be written from the start; as fopen would in mode
    // "a+" or "w", close-on-exec, so that a child the record runs ("uname")
    // does not inherit it, and never through a link someone else planted:
    // path is opened by the rules of OpenTrustedPath.h, with what memo knows
    // of it, the directory the file lies in judged by judge.
    bool open(const char* path, bool truncate, PathMemo& memo, const DirectoryJudge& judge);
    bool isOpen() const { return mFd >= 0; }

    // The file's path as the key the lock's holders compare; set whenever the
    // path changes.
    void setPathKey(std::uint64_t key) { mPathKey = key; }

    // A writer appends one line (its LF included) to lines() and hands it over
    // with addLine(where it starts). The line is mended into UTF-8 and joins
    // the record. False, and the line gone, when the file cannot take lines:
    // it cannot be positioned (a pipe, a socket, a terminal), or, for a
    // device, the line's own write failed.
    RecordBytes& lines() { return mLines; }
    bool addLine(std::size_t start);

    // Writes the record's lines in one write and closes the file (nothing
    // when it is not open). A record that could not be opened or written is
    // counted in the lock place (RefusalCount.h), the caller being told
    // nothing. A file that ends in a line without its LF (a
    // writer crashed, the disk filled, or another writer's line is still on
    // its way) gets a LF first, in the same write, so that the record starts
    // a line of its own. False when not all of it reached the file.
    bool writeAndClose();

private:
    bool checkKind();
    bool writeLines(std::size_t size);
    bool endsTorn() const;

    int mFd = -1;
    // The path while the file is open (the caller's, which outlives the open).
    const char* mPath = nullptr;
    bool mAppending = true;
    // Part of the record was lost before the commit (a device's line, a
    // large record's earlier write): it counts as a failed write.
    bool mLost = false;
    bool mKindChecked = false;
    // A device: each line is written at once, so that its failure shows in
    // the writer's result, as nothing is appended to a device anyway.
    bool mDirect = false;
    bool mTailChecked = false;
    // The file's size as the open found it, or, for another kind than a
    // regular file, when the record's first line came (its end, as far as
    // this record can tell without asking again).
    long long mSizeAtStart = -1;
    RecordBytes mLines;
    std::uint64_t mPathKey = 0;
    // The lock's shared words while a locked record lasts.
    SharedLogEnd* mShared = nullptr;
};

} // namespace zorv_detail

#endif
