#ifndef ZORV_ERRORLOG_APPENDSTREAM_H
#define ZORV_ERRORLOG_APPENDSTREAM_H

// The lines of one record on their way to the end of a log file. They are
// collected while the file is open and leave in a single write(2) when it is
// closed, so that the records of writers who share no lock (two users, a lock
// that could not be had, a holder that outlasted the wait) still never mix:
// on local filesystems, appends made by single writes do not interleave.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zorv_detail {

class RecordLock;

class AppendStream {
public:
    AppendStream() = default;
    ~AppendStream();
    AppendStream(const AppendStream&) = delete;
    AppendStream& operator=(const AppendStream&) = delete;

    // A record larger than this goes out in several writes, in order, each
    // this large; below it, a record is always one write. (Linux writes at
    // most 0x7ffff000 bytes in one call.)
    static constexpr std::size_t kSingleWriteBound = 4u << 20;

    // Opens the file for a record: for appending (created when missing), or,
    // with truncate, emptied to be written from the start; as fopen would in
    // mode "a+" or "w", close-on-exec, so that a child the record runs
    // ("uname") does not inherit it, and never through a link someone else
    // planted (OpenLogFile.h, where ownFilesOnly is told too). Nothing
    // collected, nothing looked at yet.
    bool open(const char* path, bool truncate, bool ownFilesOnly);
    bool isOpen() const { return mFd >= 0; }

    // The record as a standard I/O stream: what is written to it joins the
    // record. The same stream serves every record of this object, so opening
    // a record allocates nothing. Null when it cannot be had.
    FILE* face();

    // Writes the record (writeRecord) and closes the file.
    bool close(const RecordLock* lock);

    // The file's path as a key, compared with the one the lock's holders share
    // (RecordLock::sharedTail); set whenever the path changes.
    void setPathKey(std::uint64_t key) { mPathKey = key; }

    // Adds one line to the record. False when the file cannot take lines: it
    // cannot be positioned (a pipe, a socket, a terminal), or, for a device,
    // the line's own write failed. lock: the lock the record is written under,
    // or null (see writeRecord).
    bool addLine(const std::string& line, const RecordLock* lock);

    // Writes what was collected in one write and forgets it; called when the
    // file is closed. A file that ends in a line without its LF (a writer
    // crashed, the disk filled, or another writer's line is still on its way)
    // gets a LF first, in the same write, so that the record starts a line of
    // its own. False when not all of it reached the file.
    bool writeRecord(const RecordLock* lock);

private:
    static ssize_t joinRecord(void* cookie, const char* data, std::size_t size);
    bool checkKind();
    bool endsTorn(const std::uint64_t* sharedTail) const;
    bool writeAll(const char* data, std::size_t size);

    int mFd = -1;
    FILE* mFace = nullptr;
    bool mAppending = true;
    bool mKindChecked = false;
    // A device: each line is written at once, so that its failure shows in
    // the writer's result, as nothing is appended to a device anyway.
    bool mDirect = false;
    bool mTailChecked = false;
    // The file's size when the record's first line came (its end, as far as
    // this stream can tell without asking again).
    long long mSizeAtStart = -1;
    std::string mPending;
    std::uint64_t mPathKey = 0;
};

} // namespace zorv_detail

#endif
