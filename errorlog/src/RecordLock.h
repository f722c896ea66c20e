#ifndef ZORV_ERRORLOG_RECORDLOCK_H
#define ZORV_ERRORLOG_RECORDLOCK_H

// Whether the record a thread is writing is under its file's named mutex. The
// logger says so around each record; the file asks when the record's bytes go
// out, because mending a torn tail is sound only under the lock: without it,
// the unfinished write of another writer would look torn too.

class ZorvDelimitedFile;

namespace zorv_detail {

class RecordLock {
public:
    // For the life of this object, the thread writes a record to file, under
    // the file's lock when held is true.
    RecordLock(const ZorvDelimitedFile* file, bool held);
    ~RecordLock();
    RecordLock(const RecordLock&) = delete;
    RecordLock& operator=(const RecordLock&) = delete;

    // Whether the thread holds the lock of file for the record it writes.
    static bool heldFor(const ZorvDelimitedFile* file);

private:
    // A record may log through another logger while it is written; the outer
    // record's lock is the current one again afterwards.
    const ZorvDelimitedFile* mOuterFile;
    bool mOuterHeld;
};

} // namespace zorv_detail

#endif
