#ifndef ZORV_ERRORLOG_RECORDGUARD_H
#define ZORV_ERRORLOG_RECORDGUARD_H

// The lock a logger's record is written under. ZorvLogger::logWithWaitLimit
// makes one on its stack for each record: it puts a named mutex in the
// logger's mMutex (the interface promises one there while log runs), takes
// it, and lends the file's record the lock's shared words. The logger writes
// the record and closes the file itself, then calls release(). When the
// record's own code throws, the destructor does what the logger could not, in
// the order the interface promises: the file is closed (the lines collected so
// far go out in their one write), the lock released, the mutex object deleted.
// Calls go one way only: the guard drives the mutex and the file's record,
// never the logger.

#include "FileRecord.h"

#include <zorv/ZorvMutex.h>

#include <new>

namespace zorv_detail {

// How long a record waits for the named mutex, in the mutex's unit (ms). The
// record is written whether or not the lock came in that time.
constexpr int kRecordWaitLimitMs = 10000;

class RecordGuard {
public:
    // The mutex slot is the logger's: a mutex a subclass put there is used
    // (and deleted afterwards), otherwise one is made for this record, in the
    // guard's own room rather than on the heap.
    RecordGuard(ZorvMutexImp*& mutex, FileRecord& record) : mMutex(mutex), mRecord(record) {
        if (mMutex == nullptr) {
            mOwn = ::new (static_cast<void*>(mRoom)) ZorvMutex();
            mMutex = mOwn;
        }
    }

    ~RecordGuard() {
        if (!mReleased) {
            mRecord.writeAndClose();
            release();
        }
    }

    RecordGuard(const RecordGuard&) = delete;
    RecordGuard& operator=(const RecordGuard&) = delete;

    // Takes the mutex the logger created (synchronised: it could), waiting at
    // most waitLimit ms (negative: without bound). The record is written
    // either way; only a held lock lends the file its shared words.
    bool lock(bool synchronised, int waitLimit) {
        mSynchronised = synchronised;
        const bool locked = synchronised && mMutex->lock(waitLimit);
        std::uint64_t* words = nullptr;
        if (locked) {
            ZorvMutex* named = mMutex == mOwn ? mOwn : dynamic_cast<ZorvMutex*>(mMutex);
            words = named != nullptr ? named->guardedWords() : nullptr;
        }
        mRecord.useSharedEnd(SharedLogEnd::in(words));
        return locked;
    }

    // The record is written and its file closed: the lock goes, and the mutex
    // with it, leaving the logger's slot empty.
    void release() {
        mReleased = true;
        mRecord.useSharedEnd(nullptr);
        // The guard's own mutex releases the lock as its destructor's first
        // step (ZorvMutex::close); another is told to.
        if (mSynchronised && mMutex != mOwn) {
            mMutex->unlock();
        }
        if (mMutex != mOwn) {
            delete mMutex;
        }
        if (mOwn != nullptr) {
            mOwn->~ZorvMutex();
            mOwn = nullptr;
        }
        mMutex = nullptr;
    }

private:
    ZorvMutexImp*& mMutex;
    FileRecord& mRecord;
    alignas(ZorvMutex) unsigned char mRoom[sizeof(ZorvMutex)];
    ZorvMutex* mOwn = nullptr; // made in mRoom
    bool mSynchronised = false;
    bool mReleased = false;
};

} // namespace zorv_detail

#endif
