#include "follow/LineBudget.h"

namespace zorvlog {

bool LineBudget::over(std::size_t log, std::size_t bytes) {
    if (log >= mHeld.size()) {
        mHeld.resize(log + 1, 0);
    }
    mTotal = mTotal - mHeld[log] + bytes;
    mHeld[log] = bytes;
    return mTotal > kBudget;
}

} // namespace zorvlog
