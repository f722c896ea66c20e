#include "follow/LogFollow.h"

#include "follow/FollowOptions.h"
#include "follow/FollowState.h"
#include "follow/FollowedLog.h"
#include "follow/JournalOutput.h"
#include "follow/LineBudget.h"
#include "follow/LogFinder.h"
#include "follow/RecordOutput.h"
#include "follow/RelpOutput.h"
#include "follow/ServiceNotify.h"
#include "follow/StandardOutput.h"
#include "follow/StopSignals.h"
#include "follow/Watches.h"
#include "output/TerminalText.h"
#include "read/EntryFilter.h"
#include "read/RotationNames.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <memory>
#include <poll.h>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>

namespace zorvlog {

namespace {

using Clock = std::chrono::steady_clock;

const std::size_t kBatchRecords = LogFollow::kBatchRecords;
const std::size_t kBatchBytes = LogFollow::kBatchBytes;
// A look without an event: inotify says nothing of writes through a shared
// mapping or of changes made by another host on a network file system.
const auto kTimedLook = std::chrono::seconds(10);
// A look at the logs inotify cannot watch, for want of instances or watches.
const auto kPolledLook = std::chrono::seconds(1);
// An output that cannot take records is tried again after a pause that
// doubles up to this.
const auto kLongestPause = std::chrono::seconds(5);

// A follower without a state starts afresh each time: where a state file of
// these logs lies in the place earlier followers kept one unasked, it names
// the option that resumes from it; and an output to a store (the journal, a
// collector) is told that what is written while follow is down never
// reaches it, whether or not such a file lies there.
void sayWhatIsNotKept(const std::vector<std::string>& paths, bool store) {
    const std::string earlier = FollowState::earlierDefault(paths);
    if (!earlier.empty()) {
        std::fprintf(stderr,
                     "zorvlog follow: a state of these logs kept by an earlier follow is %s; give "
                     "--state %s to resume from it\n",
                     forTerminal(earlier).c_str(), forTerminal(earlier).c_str());
    }
    if (store) {
        std::fprintf(stderr, "zorvlog follow: without --state nothing is kept across a restart: "
                             "records written while follow is down are never sent; give --state "
                             "FILE to resume where it stopped\n");
    }
}

// The follower: its logs, the output, the state, and what wakes it.
class Loop {
public:
    Loop(const std::vector<std::string>& sources, const std::vector<std::string>& paths,
         LogFinder& finder, const TrustedOwners& owners, const EntryFilter& filter,
         FollowState* state, RecordOutput& output, StopSignals& signals, ServiceNotify& notify,
         long lastN, const std::string& olddir)
        : mFinder(finder), mOwners(owners), mFilter(filter), mState(state), mOutput(output),
          mSignals(signals), mNotify(notify), mOlddir(olddir) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::vector<FollowPosition>* resume =
                state != nullptr ? state->find(paths[i]) : nullptr;
            mResumes = mResumes || resume != nullptr;
            if (resume != nullptr && lastN >= 0) {
                std::fprintf(stderr,
                             "zorvlog follow: %s: the state holds a position in it, which "
                             "wins over --lines\n",
                             forTerminal(sources[i]).c_str());
            }
            add(sources[i], paths[i], resume, lastN);
        }
    }
    bool resumes() const { return mResumes; }

    // Until a stop signal.
    void run() {
        save();
        auto pause = std::chrono::milliseconds(0);
        while (!mSignals.stopped()) {
            bool more = false, refused = false;
            const std::size_t handled = gather(more, refused);
            mNotify.round(mPaths, mSaved, mLastWhy);
            bool moved = false;
            for (std::size_t i = 0; i < mLogs.size(); ++i) {
                moved = (mLogs[i] && mLooked[i] && mLogs[i]->moved()) || moved;
            }
            if (mTaken > 0 && !mOutput.handOver()) {
                if (mSignals.stopped()) {
                    return;
                }
                // Not handed over: read again from where the state stands.
                for (std::size_t i = 0; i < mLogs.size(); ++i) {
                    if (mLogs[i]) {
                        mLogs[i] = makeLog(i, mSaved[i].empty() ? nullptr : &mSaved[i]);
                    }
                }
                mDue.assign(mLogs.size(), true);
                mLooked.assign(mLogs.size(), true);
                refused = true;
            } else if (handled > 0 || moved) {
                if (mTaken > 0 && !refused) {
                    mCondition = OutputStatus();
                }
                save();
            }
            mTaken = 0;
            if (refused) {
                if (mSignals.stopped()) {
                    return;
                }
                const std::string why = mOutput.why();
                if (why != mLastWhy) {
                    // Saved when the reason changes, not at every retry.
                    if (mCondition.taking) {
                        mCondition.taking = false;
                        mCondition.since = stateTimeNow();
                    }
                    mCondition.why = why;
                    save();
                    std::fprintf(stderr,
                                 "zorvlog follow: the output takes no records: %s; trying again\n",
                                 forTerminal(why).c_str());
                    mLastWhy = why;
                }
                mNotify.round(mPaths, mSaved, why);
                pause = std::min<std::chrono::milliseconds>(
                    std::max<std::chrono::milliseconds>(pause * 2, std::chrono::milliseconds(100)),
                    kLongestPause);
                sleep(Clock::now() + pause, false);
                continue;
            }
            if (handled > 0) {
                mLastWhy.clear();
                pause = std::chrono::milliseconds(0);
            }
            if (!more) {
                Clock::time_point wake = mNextLook;
                if (mWatches.anyPolled() || mFinder.polled()) {
                    wake = std::min(wake, mNextPoll);
                }
                for (const Clock::time_point at : mWakeAt) {
                    wake = std::min(wake, at);
                }
                sleep(wake, true);
                lookAgain();
            }
        }
    }

private:
    void add(const std::string& source, const std::string& path,
             const std::vector<FollowPosition>* resume, long lastN) {
        mSources.push_back(source);
        mPaths.push_back(path);
        mSaved.push_back(resume != nullptr ? *resume : std::vector<FollowPosition>());
        mDue.push_back(true);
        mLooked.push_back(true);
        mWakeAt.push_back(Clock::time_point::min());
        mLogs.push_back(makeLog(mPaths.size() - 1, resume, lastN));
        mFound.push_back(false);
    }

    // A log a pattern found whose file and generations are all gone is let
    // go, and leaves the state with the next save; should the name come back,
    // it is found again as a new log.
    void dropGoneLogs() {
        bool dropped = false;
        for (std::size_t i = 0; i < mLogs.size(); ++i) {
            struct stat st;
            if (!mLogs[i] || !mFound[i] || ::lstat(mPaths[i].c_str(), &st) == 0 ||
                errno != ENOENT || !rotatedFiles(mPaths[i], nullptr).empty()) {
                continue;
            }
            mWatches.hold(i, {});
            mBudget.over(i, 0);
            mLogs[i].reset();
            mSaved[i].clear();
            mDue[i] = false;
            mWakeAt[i] = Clock::time_point::max();
            mFinder.forget({mPaths[i]});
            ++mDropped;
            dropped = true;
        }
        if (dropped) {
            save(); // between batches: the state leaves it at once
        }
    }

    // The logs the patterns take that are not followed yet, read from their
    // starts (or where the state stands in them); the state's room grows
    // first, so that a save never finds it short.
    void takeNewLogs() {
        dropGoneLogs();
        std::vector<std::string> found = mFinder.newLogs();
        if (found.empty()) {
            return;
        }
        std::vector<std::string> all;
        for (std::size_t i = 0; i < mLogs.size(); ++i) {
            if (mLogs[i]) {
                all.push_back(mPaths[i]);
            }
        }
        all.insert(all.end(), found.begin(), found.end());
        std::string error;
        if (mState != nullptr && !mState->grow(all, mPositions, {}, error)) {
            if (error != mGrowError) {
                std::fprintf(stderr, "zorvlog follow: %s\n", forTerminal(error).c_str());
                mGrowError = error;
            }
            mFinder.forget(found);
            return;
        }
        for (const std::string& path : found) {
            add(path, path, mState != nullptr ? mState->find(path) : nullptr, -1);
            mFound.back() = true;
            spare(mLogs.size() - 1);
        }
    }

    std::unique_ptr<FollowedLog> makeLog(std::size_t i, const std::vector<FollowPosition>* resume,
                                         long lastN = -1) {
        return std::make_unique<FollowedLog>(
            mPaths[i], mOwners, resume, [this] { return mSignals.stopped(); },
            LogWatch{&mWatches, i}, lastN, mOlddir);
    }

    // After a sleep: the logs to look at are those whose watches fired (see
    // sleep()), those with something to settle, those without inotify once a
    // second, and all of them at the timed look.
    void lookAgain() {
        const Clock::time_point now = Clock::now();
        if (now >= mNextLook) {
            mDue.assign(mLogs.size(), true);
            mNextLook = now + kTimedLook;
        }
        const bool poll = now >= mNextPoll;
        if (poll) {
            mNextPoll = now + kPolledLook;
        }
        if (mFinder.due(poll)) {
            takeNewLogs();
        }
        for (std::size_t i = 0; i < mLogs.size(); ++i) {
            mDue[i] = mDue[i] || (poll && mWatches.polled(i)) || mWakeAt[i] <= now;
            if (mDue[i] && mLogs[i]) {
                mLogs[i]->settle();
                spare(i);
            }
        }
    }

    // After a look at a log: the watches on generations it no longer holds
    // end, and what it holds of unfinished lines counts against the budget.
    void spare(std::size_t i) {
        mLooked[i] = true;
        mWakeAt[i] = mLogs[i]->wakeAt();
        std::set<std::pair<dev_t, ino_t>> held;
        for (const FollowPosition& position : mLogs[i]->positions()) {
            held.insert({position.dev, position.ino});
        }
        mWatches.hold(i, held);
        if (mBudget.over(i, mLogs[i]->held())) {
            mLogs[i]->letGo();
            mBudget.letGo(i, mLogs[i]->held());
        }
    }

    // Pulls what is ready into the output, up to a batch; the records the
    // filter passes over count as handled too. *more: something is left to
    // read at once; *refused: the output took no more.
    std::size_t gather(bool& more, bool& refused) {
        std::size_t handled = 0, bytes = 0;
        for (std::size_t i = 0; i < mLogs.size() && !refused; ++i) {
            if (!mDue[i] || !mLogs[i]) {
                continue;
            }
            FollowedLog& log = *mLogs[i];
            mLooked[i] = true;
            for (;;) {
                if (mTaken >= kBatchRecords || bytes >= kBatchBytes) {
                    more = true;
                    break;
                }
                const ReadyRecord* record = log.next();
                if (record == nullptr) {
                    more = more || log.more();
                    mDue[i] = log.more();
                    spare(i);
                    break;
                }
                if (mFilter.matches(record->entry)) {
                    if (!mOutput.take(record->entry, mSources[i], record->key)) {
                        refused = true;
                        break;
                    }
                    ++mTaken;
                    bytes += record->entry.text.size();
                }
                log.take();
                ++handled;
            }
        }
        return handled;
    }

    // The state: the positions of the logs looked at since the last save
    // are taken anew, the others stand: only those are written, so that a
    // save costs what changed, not the number of logs. Without a state file
    // they are kept in memory all the same, for an output that refused a
    // batch.
    void save() {
        if (mPositions.size() != mLogs.size()) {
            mPositions.assign(mLogs.size(), {});
            mStatuses.assign(mLogs.size(), LogStatus());
            mLooked.assign(mLogs.size(), true);
        }
        std::vector<bool> changed = mLooked;
        for (std::size_t i = 0; i < mLogs.size(); ++i) {
            if (!mLogs[i]) {
                changed[i] = false;
                continue;
            }
            if (mLooked[i]) {
                mSaved[i] = mLogs[i]->positions();
                mPositions[i] = {mPaths[i], mSaved[i]};
                mStatuses[i] = mLogs[i]->status();
                mLooked[i] = false;
            }
        }
        if (mState == nullptr) {
            return;
        }
        if (mDropped == 0) {
            mState->save(mPositions, mStatuses, mCondition, changed);
            return;
        }
        FollowState::Positions live;
        std::vector<LogStatus> liveStatuses;
        std::vector<bool> liveChanged;
        std::vector<std::string> liveLogs;
        for (std::size_t i = 0; i < mLogs.size(); ++i) {
            if (mLogs[i]) {
                live.push_back(mPositions[i]);
                liveStatuses.push_back(mStatuses[i]);
                liveChanged.push_back(changed[i]);
                liveLogs.push_back(mPaths[i]);
            }
        }
        if (mDropped != mDroppedSaved) {
            // A log let go leaves the state: laid out anew without it.
            std::string error;
            if (!mState->grow(liveLogs, live, liveStatuses, error)) {
                std::fprintf(stderr, "zorvlog follow: %s\n", forTerminal(error).c_str());
            }
            mDroppedSaved = mDropped;
            liveChanged.clear();
        }
        mState->save(live, liveStatuses, mCondition, liveChanged);
    }

    // Until a stop signal or `until`; with `files`, also until something
    // changes in a watched place.
    // A service manager's watchdog is fed meanwhile.
    void sleep(Clock::time_point until, bool files) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            struct pollfd fds[3] = {
                {mSignals.fd(), POLLIN, 0}, {mFinder.fd(), POLLIN, 0}, {mWatches.fd(), POLLIN, 0}};
            long long timeout =
                std::max<long long>(0, std::min<long long>(left, 60000)) + (left > 0 ? 1 : 0);
            if (mNotify.pauseMs() >= 0) {
                timeout = std::min<long long>(timeout, mNotify.pauseMs());
            }
            const int ready = ::poll(fds, files ? 3 : 1, static_cast<int>(timeout));
            mNotify.alive();
            if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
                mFinder.drain();
            }
            if (ready > 0 && (fds[2].revents & POLLIN) != 0) {
                mWatches.drain(mDue);
            }
            if (ready != 0 || left <= 0) {
                return;
            }
        }
    }

    std::vector<std::string> mSources, mPaths; // each log as given or found, and absolute
    LogFinder& mFinder;
    const TrustedOwners& mOwners;
    const EntryFilter& mFilter;
    FollowState* mState; // null: nothing kept across a restart
    RecordOutput& mOutput;
    StopSignals& mSignals;
    ServiceNotify& mNotify;
    Watches mWatches;
    std::vector<std::unique_ptr<FollowedLog>> mLogs;
    std::vector<bool> mDue;                 // to be looked at: something may have changed
    std::vector<bool> mLooked;              // looked at since the state was saved
    std::vector<bool> mFound;               // found by a pattern: dropped once all gone
    std::size_t mDropped = 0;               // logs let go (null in mLogs)
    std::vector<Clock::time_point> mWakeAt; // each log's wakeAt() after its last look
    FollowState::Positions mPositions;      // as saved last
    std::vector<LogStatus> mStatuses;       // as saved last
    LineBudget mBudget;
    Clock::time_point mNextLook = Clock::now() + kTimedLook, mNextPoll = Clock::now() + kPolledLook;
    std::vector<std::vector<FollowPosition>> mSaved; // as the state has them
    std::size_t mTaken = 0;                          // taken in this batch
    bool mResumes = false;
    std::string mLastWhy, mGrowError;
    OutputStatus mCondition;       // as the state shows it
    std::string mOlddir;           // where logrotate's "olddir" puts the generations
    std::size_t mDroppedSaved = 0; // logs let go that the state has left
};

} // namespace

int LogFollow::run(const std::vector<std::string>& args) {
    const FollowOptions options = FollowOptions::fromArgs(args);
    std::vector<std::string> paths = options.paths, named = options.named;
    // Each log holds a descriptor or a few (its directory, the generation
    // read, those watched): a thousand logs take more than the usual soft
    // limit, and the hard one is ours to take.
    struct rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    // The logs the patterns take at the start are followed as if named.
    LogFinder finder(options.patterns, paths, options.statePath);
    for (const std::string& found : finder.newLogs()) {
        paths.push_back(found);
        named.push_back(found);
    }
    FollowState kept;
    FollowState* state = nullptr;
    if (!options.statePath.empty()) {
        std::string error;
        if (!kept.open(options.statePath, paths, error)) {
            std::fprintf(stderr, "zorvlog follow: %s\n", forTerminal(error).c_str());
            return 1;
        }
        state = &kept;
    } else {
        sayWhatIsNotKept(paths, options.sink != FollowOptions::Sink::kStandard);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Buffers of a large record are mapped on their own and given back when
    // freed; otherwise the heap keeps what a few of them left behind, and
    // the process grows with every large record.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    StopSignals signals;
    ServiceNotify notify;
    std::unique_ptr<RecordOutput> out;
    if (options.sink == FollowOptions::Sink::kJournal) {
        out = std::make_unique<JournalOutput>();
    } else if (options.sink == FollowOptions::Sink::kRelp) {
        out =
            std::make_unique<RelpOutput>(options.relp, signals.fd(), [&notify] { notify.alive(); });
    } else {
        out = std::make_unique<StandardOutput>(
            options.mode, paths.size() > 1 || !options.patterns.empty(), signals, notify);
        if (!out->handOver()) { // the table's heading
            return 0;
        }
    }
    Loop loop(named, paths, finder, options.owners, options.filter, state, *out, signals, notify,
              options.lastN, options.olddir);
    if (loop.resumes()) {
        std::fprintf(stderr, "zorvlog follow: resuming where the state file %s says\n",
                     forTerminal(options.statePath).c_str());
    }
    loop.run();
    return 0;
}

const char* LogFollow::help() {
    return FollowOptions::help();
}

} // namespace zorvlog
