#include "follow/LineBudget.h"

namespace zorvlog {

bool LineBudget::over(std::size_t log, std::size_t bytes) {
    mTotal = mTotal - mHeld[log] + bytes;
    mHeld[log] = bytes;
    return mTotal > kBudget;
}

} // namespace zorvlog
