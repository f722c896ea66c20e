#ifndef ZORVLOG_LINEBUDGET_H
#define ZORVLOG_LINEBUDGET_H

#include <cstddef>
#include <vector>

namespace zorvlog {

// The memory that what the logs followed hold of their lines not yet whole
// (and their read buffers) may take together, for the whole process: a log
// ending in a long unfinished line holds it while it waits for its end, and
// a thousand such logs would otherwise hold a thousand lines.
//
// Each log's holding is noted after each look at it. While the total stays
// within kBudget, a log keeps what it holds. A log whose look brings the
// total over it lets go of its bytes: they stay in its file and are read
// again once the file grows, so nothing is lost and the position never moves
// past them; the price is reading them twice.
class LineBudget {
public:
    static constexpr std::size_t kBudget = 32u << 20;

    explicit LineBudget(std::size_t logs = 0) : mHeld(logs, 0) {}

    // The log holds `bytes` now; true when it is to let go of them. A log
    // not seen before holds nothing until then.
    bool over(std::size_t log, std::size_t bytes);
    // The log let go of what it held, and holds `bytes` still.
    void letGo(std::size_t log, std::size_t bytes) { over(log, bytes); }

private:
    std::vector<std::size_t> mHeld;
    std::size_t mTotal = 0;
};

} // namespace zorvlog

#endif
