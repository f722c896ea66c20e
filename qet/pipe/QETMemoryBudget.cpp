#include "QETMemoryBudget.h"

#include <malloc.h>

namespace {

// Buffers this large or larger are mapped on their own and unmapped when
// freed. glibc otherwise raises the threshold after the first large free, and
// the bodies of a flood stay in the heap after their connections are gone.
constexpr int kOwnMappingFrom = 64 * 1024;
// After a peak of this many bytes or connections, the heap is trimmed once
// the load has fallen to a quarter of it.
constexpr qint64 kTrimAfterBytes = 4 * 1024 * 1024;
constexpr int kTrimAfterConnections = 256;

} // namespace

QETMemoryBudget::QETMemoryBudget() {
    mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
}

void QETMemoryBudget::update(QETPipeConnection* connection, qint64 bytes, quint64 unfinishedSince) {
    Held& held = mHeld[connection];
    mTotal += bytes - held.bytes;
    held = Held{bytes, unfinishedSince};
    mPeakBytes = qMax(mPeakBytes, mTotal);
    mPeakConnections = qMax(mPeakConnections, mHeld.size());
    giveBackAfterPeak();
}

void QETMemoryBudget::forget(QETPipeConnection* connection) {
    const auto it = mHeld.constFind(connection);
    if (it == mHeld.constEnd()) {
        return;
    }
    mTotal -= it->bytes;
    mHeld.erase(it);
    giveBackAfterPeak();
}

QETPipeConnection* QETMemoryBudget::victim() const {
    QETPipeConnection* chosen = nullptr;
    Held worst = {0, 0};
    for (auto it = mHeld.constBegin(); it != mHeld.constEnd(); ++it) {
        const Held& held = it.value();
        const bool older =
            held.unfinishedSince != 0 &&
            (worst.unfinishedSince == 0 || held.unfinishedSince < worst.unfinishedSince);
        const bool bigger =
            worst.unfinishedSince == 0 && held.unfinishedSince == 0 && held.bytes > worst.bytes;
        if (older || bigger) {
            chosen = it.key();
            worst = held;
        }
    }
    return chosen;
}

void QETMemoryBudget::giveBackAfterPeak() {
    // What a flood left in the heap goes back to the system, so that QET
    // returns to about its size before the flood.
    const bool bytesFell = mPeakBytes >= kTrimAfterBytes && mTotal * 4 <= mPeakBytes;
    const bool connectionsFell =
        mPeakConnections >= kTrimAfterConnections && mHeld.size() * 4 <= mPeakConnections;
    if (bytesFell || connectionsFell) {
        malloc_trim(0);
        mPeakBytes = mTotal;
        mPeakConnections = mHeld.size();
    }
}
