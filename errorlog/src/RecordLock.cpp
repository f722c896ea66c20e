#include "RecordLock.h"

namespace zorv_detail {

namespace {
// Plain pointers and flags: nothing to destroy at thread or process exit, so a
// record written by a clean-up at exit finds them intact.
thread_local const ZorvDelimitedFile* tFile = nullptr;
thread_local bool tHeld = false;
} // namespace

RecordLock::RecordLock(const ZorvDelimitedFile* file, bool held)
    : mOuterFile(tFile), mOuterHeld(tHeld) {
    tFile = file;
    tHeld = held;
}

RecordLock::~RecordLock() {
    tFile = mOuterFile;
    tHeld = mOuterHeld;
}

bool RecordLock::heldFor(const ZorvDelimitedFile* file) {
    return tHeld && tFile == file;
}

} // namespace zorv_detail
