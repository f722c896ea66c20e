#include "RecordLock.h"

namespace zorv_detail {

namespace {
// A plain pointer: nothing to destroy at thread or process exit, so a record
// written by a clean-up at exit finds it intact.
thread_local const RecordLock* tCurrent = nullptr;
} // namespace

RecordLock::RecordLock(const ZorvDelimitedFile* file, bool held, std::uint64_t* tail)
    : mFile(file), mHeld(held), mTail(tail), mOuter(tCurrent) {
    tCurrent = this;
}

RecordLock::~RecordLock() {
    tCurrent = mOuter;
}

const RecordLock* RecordLock::heldFor(const ZorvDelimitedFile* file) {
    return tCurrent != nullptr && tCurrent->mFile == file && tCurrent->mHeld ? tCurrent : nullptr;
}

} // namespace zorv_detail
