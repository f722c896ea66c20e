#include "follow/StandardOutput.h"

#include "follow/LogFollow.h"
#include "follow/ServiceNotify.h"
#include "follow/StopSignals.h"
#include "output/TerminalText.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvlog {

StandardOutput::StandardOutput(OutputMode mode, bool headings, StopSignals& signals,
                               ServiceNotify& notify)
    : mMode(mode), mHeadings(headings), mSignals(signals), mNotify(notify) {
    struct stat st;
    // A pipe or a socket can block; then it is written a pipe's atomic
    // amount at a time, each after poll() said there is room.
    mMayBlock = ::fstat(1, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    if (mode == OutputMode::kShort) {
        mSink.buffer() += tableHeading() + "\n";
        mSink.flush();
        mEnds.push_back(mBatch.size());
    }
}

bool StandardOutput::take(const LogEntry& entry, std::string_view source, std::string_view key) {
    if (mMode == OutputMode::kJson) {
        writeEntryJson(mSink, entry, source, mClock, key);
    } else if (mMode == OutputMode::kCat) {
        writeEntryContent(mSink, entry);
    } else {
        if (mHeadings && source != mLastSource) {
            mSink.buffer() += "==> " + forTerminal(std::string(source)) + " <==\n";
            mLastSource = std::string(source);
        }
        writeEntryRow(mSink, entry);
    }
    mSink.buffer() += '\n';
    mSink.flush();
    mEnds.push_back(mBatch.size());
    return true;
}

bool StandardOutput::handOver() {
    std::size_t done = 0, record = 0;
    while (done < mBatch.size()) {
        while (record < mEnds.size() && mEnds[record] <= done) {
            ++record;
        }
        const bool between = done == 0 || (record > 0 && mEnds[record - 1] == done);
        std::size_t size = mBatch.size() - done;
        if (mMayBlock) {
            struct pollfd fds[2] = {{1, POLLOUT, 0}, {mSignals.fd(), POLLIN, 0}};
            const int ready = ::poll(fds, between ? 2 : 1, mNotify.pauseMs());
            mNotify.alive();
            if (ready <= 0) {
                continue;
            }
            if (between && mSignals.stopped()) {
                mWhy = "asked to stop";
                clear();
                return false;
            }
            if ((fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
                continue;
            }
            // Whole records up to a pipe's atomic amount go in one write,
            // all or nothing, so that a stop finds the write between two
            // records; a longer record goes in pieces.
            std::size_t end = done;
            for (std::size_t k = record; k < mEnds.size() && mEnds[k] - done <= PIPE_BUF; ++k) {
                end = mEnds[k];
            }
            size = end > done ? end - done : std::min<std::size_t>(size, PIPE_BUF);
        }
        const ssize_t n = ::write(1, mBatch.data() + done, size);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            throw std::runtime_error(std::string("cannot write the output: ") +
                                     std::strerror(errno));
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    clear();
    return true;
}

void StandardOutput::clear() {
    mBatch.clear();
    mEnds.clear();
    if (mBatch.capacity() > 2 * LogFollow::kBatchBytes) {
        mBatch.shrink_to_fit();
    }
}

} // namespace zorvlog
