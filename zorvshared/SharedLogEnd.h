#ifndef ZORV_SHARED_SHAREDLOGEND_H
#define ZORV_SHARED_SHAREDLOGEND_H

// What the holders of a log's named mutex keep together in the four words the
// mutex file lends its holder (ZorvMutex::guardedWords): where the last record
// written under the lock ended, and which file that was. A file no writer
// outside the lock touched since then needs no look at its tail. Only the
// holder reads or writes them; the mutex file's layout (zorvutil/MutexFile.h)
// gives them their room.

#include <cstdint>

namespace zorv_detail {

class SharedLogEnd {
public:
    // The holder's words as this type (null: the record goes without the lock).
    static SharedLogEnd* in(std::uint64_t* guardedWords) {
        return reinterpret_cast<SharedLogEnd*>(guardedWords);
    }

    // Whether the last record under the lock ended the file of that key at size.
    bool endsAt(std::uint64_t pathKey, long long size) const {
        return pathKey != 0 && mPathKey == pathKey && size >= 0 &&
               mEnd == static_cast<std::uint64_t>(size);
    }
    // A record under the lock ended the file of that key at end (negative:
    // where is not known, and the next holder looks at the tail).
    void set(std::uint64_t pathKey, long long end) {
        mEnd = static_cast<std::uint64_t>(end);
        mPathKey = end >= 0 ? pathKey : 0;
    }

private:
    std::uint64_t mEnd;
    std::uint64_t mPathKey;
    [[maybe_unused]] std::uint64_t mUnused[2]; // the rest of the words lent, for later use
};

} // namespace zorv_detail

#endif
