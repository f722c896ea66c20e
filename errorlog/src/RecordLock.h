#ifndef ZORV_ERRORLOG_RECORDLOCK_H
#define ZORV_ERRORLOG_RECORDLOCK_H

// The lock under which a thread writes a record: the logger names it around
// each record, and the file asks for it when the record's bytes go out,
// because mending a torn tail is sound only under the lock (without it, the
// unfinished write of another writer would look torn too), and because the
// lock's holders share where their last record ended, so that a file nobody
// else wrote to since needs no look at its tail.

#include <cstdint>

class ZorvDelimitedFile;

namespace zorv_detail {

class RecordLock {
public:
    // For the life of this object, the thread writes a record to file, under
    // its lock when held; tail is the memory the lock's holders share, or null.
    RecordLock(const ZorvDelimitedFile* file, bool held, std::uint64_t* tail);
    ~RecordLock();
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

    // The lock the thread holds for the record it writes to file, or null when
    // it writes without one.
    static const RecordLock* heldFor(const ZorvDelimitedFile* file);

    // Two words every holder shares: where the last record written under the
    // lock ended (with its LF), and the key of that file's path (several
    // files of one name share a lock). Null when the lock offers none.
    std::uint64_t* sharedTail() const { return mTail; }

private:
    const ZorvDelimitedFile* mFile;
    bool mHeld;
    std::uint64_t* mTail;
    // A record may log through another logger while it is written; the outer
    // record's lock is the current one again afterwards.
    const RecordLock* mOuter;
};

} // namespace zorv_detail

#endif
