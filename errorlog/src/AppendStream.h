#ifndef ZORV_ERRORLOG_APPENDSTREAM_H
#define ZORV_ERRORLOG_APPENDSTREAM_H

// The lines of one record on their way to the end of a log file. They are
// collected while the file is open and leave in a single write(2) when it is
// closed, so that the records of writers who share no lock (two users, a lock
// that could not be had, a holder that outlasted the wait) still never mix:
// on local filesystems, appends made by single writes do not interleave.

#include <cstddef>
#include <string>

namespace zorv_detail {

class AppendStream {
public:
    // A record larger than this goes out in several writes, in order, each
    // this large; below it, a record is always one write. (Linux writes at
    // most 0x7ffff000 bytes in one call.)
    static constexpr std::size_t kSingleWriteBound = 4u << 20;

    // A stream newly opened on fd: nothing collected, nothing looked at yet.
    // appending: opened for appending rather than to overwrite from the start.
    void opened(int fd, bool appending);

    // Adds one line to the record. False when the file cannot take lines: it
    // cannot be positioned (a pipe, a socket, a terminal), or, for a device,
    // the line's own write failed. lockHeld: whether the record is written
    // under its file's lock (see writeRecord).
    bool addLine(const std::string& line, bool lockHeld);

    // Writes what was collected in one write and forgets it; called when the
    // file is closed. A file that ends in a line another writer left without
    // its LF (it crashed, or the disk filled) gets that LF first, in the same
    // write, but only when lockHeld: otherwise a write still under way could
    // be taken for a torn line. False when not all of it reached the file.
    bool writeRecord(bool lockHeld);

    // Forgets what is known of the file's end (it is another file now).
    void forgetTail() { mKnownEnd = -1; }

private:
    bool checkKind();
    bool endsTorn();
    bool writeAll(const char* data, std::size_t size);

    int mFd = -1;
    bool mAppending = true;
    bool mKindChecked = false;
    // A device: each line is written at once, so that its failure shows in
    // the writer's result, as nothing is appended to a device anyway.
    bool mDirect = false;
    bool mTailChecked = false;
    std::string mPending;
    // Where our last record ended (with its LF) when the file had that size
    // afterwards, so that a file nobody else wrote since needs no look at its
    // tail; -1 when unknown.
    long long mKnownEnd = -1;
};

} // namespace zorv_detail

#endif
