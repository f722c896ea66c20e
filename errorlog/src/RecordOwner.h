#ifndef ZORV_ERRORLOG_RECORDOWNER_H
#define ZORV_ERRORLOG_RECORDOWNER_H

// One record of a logger, from taking the lock to the write. ZorvLogger's log
// makes one on its stack for each record; while it lives it holds the file's
// named mutex (the logger's mMutex, as the logger's interface promises) and
// the file's record, whose buffer the file's writers fill. Its destructor
// ends the record however the record's own code left (an exception too): the
// lines go out in their one write, the file is closed, the lock released and
// the mutex object deleted, in that order. Calls go one way only: the owner
// drives the mutex and the file's record, never the logger.

#include "FileRecord.h"

#include <zorv/ZorvMutex.h>

#include <new>

namespace zorv_detail {

// How long a record waits for the named mutex, in the mutex's unit (ms). The
// record is written whether or not the lock came in that time.
constexpr int kRecordWaitLimitMs = 10000;

class RecordOwner {
public:
    // The mutex slot is the logger's: a mutex a subclass put there is used
    // (and deleted afterwards), otherwise one is made for
    // this record, in the owner's own room rather than on the heap.
    RecordOwner(ZorvMutexImp*& mutex, FileRecord& record) : mMutex(mutex), mRecord(record) {
        if (mMutex == nullptr) {
            mOwn = ::new (static_cast<void*>(mRoom)) ZorvMutex();
            mMutex = mOwn;
        }
    }

    ~RecordOwner() {
        mRecord.commit();
        mRecord.end();
        if (mSynchronised) {
            mMutex->unlock();
        }
        if (mMutex != mOwn) {
            delete mMutex;
        }
        if (mOwn != nullptr) {
            mOwn->~ZorvMutex();
        }
        mMutex = nullptr;
    }

    RecordOwner(const RecordOwner&) = delete;
    RecordOwner& operator=(const RecordOwner&) = delete;

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
        mRecord.begin(words);
        return locked;
    }

private:
    ZorvMutexImp*& mMutex;
    FileRecord& mRecord;
    alignas(ZorvMutex) unsigned char mRoom[sizeof(ZorvMutex)];
    ZorvMutex* mOwn = nullptr; // made in mRoom
    bool mSynchronised = false;
};

} // namespace zorv_detail

#endif
