#include "follow/LogFollow.h"

#include "cli/ArgParser.h"
#include "cli/JournalctlHabits.h"
#include "follow/FollowState.h"
#include "follow/FollowedLog.h"
#include "follow/JournalOutput.h"
#include "follow/LineBudget.h"
#include "follow/LogFinder.h"
#include "follow/RecordOutput.h"
#include "follow/RelpOutput.h"
#include "follow/ServiceNotify.h"
#include "follow/Watches.h"
#include "output/EntryFormat.h"
#include "output/OutputMode.h"
#include "output/TerminalText.h"
#include "read/EntryFilter.h"
#include "read/RotationNames.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <memory>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvlog {

namespace {

using Clock = std::chrono::steady_clock;

// A batch: what is ready, up to this many records or bytes of record text;
// the state is saved once per batch.
const std::size_t kBatchRecords = LogFollow::kBatchRecords;
const std::size_t kBatchBytes = 1u << 20;
// A look without an event: inotify says nothing of writes through a shared
// mapping or of changes made by another host on a network file system.
const auto kTimedLook = std::chrono::seconds(10);
// A look at the logs inotify cannot watch, for want of instances or watches.
const auto kPolledLook = std::chrono::seconds(1);
// An output that cannot take records is tried again after a pause that
// doubles up to this.
const auto kLongestPause = std::chrono::seconds(5);

// SIGTERM, SIGINT and SIGHUP, read from a descriptor so that the loop waits
// for them beside its files and its output.
class StopSignals {
public:
    StopSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            sigaddset(&set, sig);
        }
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
        mFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        if (mFd < 0) {
            throw std::runtime_error(std::string("cannot wait for signals: ") +
                                     std::strerror(errno));
        }
    }
    ~StopSignals() { ::close(mFd); }
    int fd() const { return mFd; }
    // Whether one came, now or before.
    bool stopped() {
        struct signalfd_siginfo info;
        while (!mStopped && ::read(mFd, &info, sizeof info) == sizeof info) {
            mStopped = true;
        }
        return mStopped;
    }

private:
    int mFd;
    bool mStopped = false;
};

// Standard output: the records of a batch formatted into one buffer and
// written at once. A stop while the reader takes nothing ends the write
// between two records, never inside one.
class StandardOutput : public RecordOutput {
public:
    StandardOutput(OutputMode mode, bool headings, StopSignals& signals, ServiceNotify& notify)
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

    bool take(const LogEntry& entry, std::string_view source, std::string_view key) override {
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

    bool handOver() override {
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

    std::string why() const override { return mWhy; }

private:
    void clear() {
        mBatch.clear();
        mEnds.clear();
        if (mBatch.capacity() > 2 * kBatchBytes) {
            mBatch.shrink_to_fit();
        }
    }

    OutputMode mMode;
    bool mHeadings, mMayBlock = false;
    StopSignals& mSignals;
    ServiceNotify& mNotify;
    std::string mBatch;
    StringSink mSink{mBatch};
    std::vector<std::size_t> mEnds; // where each record's bytes end in the batch
    SectionClock mClock;
    std::string mLastSource, mWhy;
};

std::uint64_t microsecondsNow() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        throw std::runtime_error(std::string("cannot tell the current directory: ") +
                                 std::strerror(errno));
    }
    return std::string(cwd) + "/" + path;
}

// Records of each log printed at the start by a follower without a state.
const long kUnkeptLines = 10;

// A follower without a state starts afresh each time: where a state file of
// these logs lies in the place earlier followers kept one unasked, it names
// the option that resumes from it; an output to a store (the journal, a
// collector) is told that what is written while follow is down never
// reaches it.
void sayWhatIsNotKept(const std::vector<std::string>& paths, bool store) {
    const std::string earlier = FollowState::earlierDefault(paths);
    if (!earlier.empty()) {
        std::fprintf(stderr,
                     "zorvlog follow: a state of these logs kept by an earlier follow is %s; give "
                     "--state %s to resume from it\n",
                     forTerminal(earlier).c_str(), forTerminal(earlier).c_str());
    } else if (store) {
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
                        mCondition.since = microsecondsNow();
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
    std::vector<ArgParser::Option> options = outputOptions();
    options.insert(options.end(), {{"journal", false},
                                   {"state", true},
                                   {"owner", true, true},
                                   {"lines", true, false, 'n'},
                                   {"olddir", true}});
    for (const ArgParser::Option& filterOption : EntryFilter::options()) {
        options.push_back(filterOption);
    }
    for (const ArgParser::Option& relpOption : RelpSettings::options()) {
        options.push_back(relpOption);
    }
    ArgParser parser(options);
    answerJournalctlHabits(parser, "follow");
    parser.parse(args);
    const EntryFilter filter = EntryFilter::fromOptions(parser, std::time(nullptr));
    const OutputMode mode = outputMode(parser);
    const bool standard = parser.has("json") || parser.has("output");
    if (standard + parser.has("journal") + parser.has("relp") > 1) {
        throw UsageError("--json or --output, --journal and --relp exclude each other");
    }
    const RelpSettings relp = RelpSettings::fromOptions(parser);
    // Without a state, as tail -f: a glance at the last records, then what comes.
    long lastN = parser.has("state") ? -1 : kUnkeptLines;
    if (parser.has("lines")) {
        const bool all = parser.value("lines") == "all";
        lastN = all ? -1 : parser.number("lines", -1);
        if (!all && lastN < 0) {
            throw UsageError("--lines needs a number of records or 'all', not '" +
                             parser.value("lines") + "'");
        }
    }
    const std::vector<std::string>& sources = parser.operands();
    if (sources.empty()) {
        throw UsageError("no LOGFILE given");
    }
    TrustedOwners owners;
    for (const std::string& user : parser.values("owner")) {
        const long uid = ownerUid(user);
        if (uid < 0) {
            throw UsageError("--owner " + user + ": no such user");
        }
        owners.add(static_cast<uid_t>(uid));
    }
    std::vector<std::string> paths, named;
    std::vector<LogPattern> patterns;
    std::set<std::string> seen;
    for (const std::string& source : sources) {
        LogPattern pattern;
        const std::string path = absolute(source);
        if (LogPattern::parse(path, &pattern)) {
            patterns.push_back(pattern);
            continue;
        }
        paths.push_back(path);
        named.push_back(source);
        if (!seen.insert(path).second) {
            throw UsageError("'" + forTerminal(source) + "' is given twice");
        }
    }
    const std::string olddir = parser.has("olddir") ? parser.value("olddir") : std::string();
    if (parser.has("olddir") && olddir.empty()) {
        throw UsageError("--olddir needs a directory");
    }
    for (std::size_t i = 0; !olddir.empty() && i < paths.size(); ++i) {
        // Looked for at every rotation, so one made later still counts.
        struct stat st;
        const std::string dir = olddirOf(paths[i], olddir);
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            std::fprintf(stderr,
                         "zorvlog follow: %s: --olddir %s is no directory (yet): generations "
                         "are looked for beside the log only\n",
                         forTerminal(sources[i]).c_str(), forTerminal(dir).c_str());
        }
    }
    // Each log holds a descriptor or a few (its directory, the generation
    // read, those watched): a thousand logs take more than the usual soft
    // limit, and the hard one is ours to take.
    struct rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::string error;
    const std::string statePath = parser.has("state") ? absolute(parser.value("state")) : "";
    // The logs the patterns take at the start are followed as if named.
    LogFinder finder(patterns, paths, statePath);
    for (const std::string& found : finder.newLogs()) {
        paths.push_back(found);
        named.push_back(found);
    }
    FollowState kept;
    FollowState* state = nullptr;
    if (!statePath.empty()) {
        if (!kept.open(statePath, paths, error)) {
            std::fprintf(stderr, "zorvlog follow: %s\n", forTerminal(error).c_str());
            return 1;
        }
        state = &kept;
    } else {
        sayWhatIsNotKept(paths, parser.has("journal") || parser.has("relp"));
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Buffers of a large record are mapped on their own and given back when
    // freed; otherwise the heap keeps what a few of them left behind, and
    // the process grows with every large record.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    StopSignals signals;
    ServiceNotify notify;
    std::unique_ptr<RecordOutput> out;
    if (parser.has("journal")) {
        out = std::make_unique<JournalOutput>();
    } else if (parser.has("relp")) {
        out = std::make_unique<RelpOutput>(relp, signals.fd(), [&notify] { notify.alive(); });
    } else {
        out = std::make_unique<StandardOutput>(mode, paths.size() > 1 || !patterns.empty(), signals,
                                               notify);
        if (!out->handOver()) { // the table's heading
            return 0;
        }
    }
    Loop loop(named, paths, finder, owners, filter, state, *out, signals, notify, lastN, olddir);
    if (loop.resumes()) {
        std::fprintf(stderr, "zorvlog follow: resuming where the state file %s says\n",
                     forTerminal(statePath).c_str());
    }
    loop.run();
    return 0;
}

const char* LogFollow::help() {
    return "Usage: zorvlog follow [--json | -o MODE | --journal | --relp HOST:PORT]\n"
           "                      [--relp-tls] [--relp-ca FILE] [--relp-cert FILE]\n"
           "                      [--relp-key FILE] [--relp-peer NAME] [-n N] [--state FILE]\n"
           "                      [--olddir DIR] [--owner USER]... [--since TIME]\n"
           "                      [--until TIME] [--kind KIND]\n"
           "                      [-p PRIORITY] [--pid N] [--vendor ID] [--code N]\n"
           "                      [--grep REGEX [-i]] [--no-pager] LOGFILE...\n"
           "\n"
           "Prints every record written to the LOGFILEs, as it is written, and goes on\n"
           "across rotation. A log is read as a chain of generations: whenever follow looks,\n"
           "however late, every generation after the one it read last (found by its identity\n"
           "or, compressed, by what was read of it) is read to its end, oldest first, in the\n"
           "order of the rotated names (LOGFILE.N, higher N older; LOGFILE with a date\n"
           "suffix, earlier dates older; either compressed: .gz, .xz, .zst or .bz2), then\n"
           "the LOGFILE. A generation\n"
           "rotated away is watched for late writes for 60 s meanwhile. A missing LOGFILE is\n"
           "waited for. Records are grouped as 'zorvlog parse' groups them, one record (an\n"
           "error record's lines together) per output line. A record is printed as soon as\n"
           "it shows its own end (a debug record, a performance row, an error record with\n"
           "its version line), else when the next line shows it is whole or the file has\n"
           "been quiet for half a second. Follow sleeps until inotify reports a change to\n"
           "the log's directory or to a generation it holds open, or a signal comes; it\n"
           "also looks every 10 s, for changes inotify cannot report (writes through a\n"
           "shared mapping, a network file system). Where inotify cannot be had or a\n"
           "watch cannot be added, follow says so once, naming the limit to raise\n"
           "(fs.inotify.max_user_instances or fs.inotify.max_user_watches), and looks at\n"
           "the logs concerned every second.\n"
           "\n"
           "A LOGFILE may also find its logs: a directory takes every regular file in it,\n"
           "and a path whose last part holds a wildcard (*, ? or [...], quoted so that the\n"
           "shell leaves it) the regular files that match it. A name that exists as given\n"
           "is never a pattern. A file named as a rotated generation of a name taken\n"
           "(app.log.1, app.log.2.gz, app-20261209.log beside app.log) is that log's\n"
           "generation, never a log of its own. A file that comes to match later is\n"
           "followed as soon as inotify reports it (within a second without inotify) and\n"
           "read from its start; one whose files are all gone is let go. How many logs\n"
           "one follower takes is bounded by its open\n"
           "files limit (raised to the hard limit); follow says when that bound is reached.\n"
           "\n"
           "Only the log's own files are read: regular files owned by root, by this user, by\n"
           "the owner of the first generation accepted or by an --owner; a link only when it\n"
           "belongs to root or to this user. What is passed over, a run of zero bytes, a\n"
           "compressed file cut short and a record cut at 16 MiB are named on stderr.\n"
           "\n"
           "Without --state, follow keeps nothing: like tail -f it prints the last 10\n"
           "records of each LOGFILE (see -n), then what comes, and any number of followers\n"
           "may follow one log. With --state, records are written in batches (what is\n"
           "ready, up to 512 records or 1 MiB), and the position in each LOGFILE is kept in\n"
           "the state file after each batch is written, so a follower stopped with SIGTERM\n"
           "resumes with no record lost or repeated (after SIGKILL, or SIGTERM while the\n"
           "reader of the output takes nothing, at most the records of the last batch\n"
           "repeat, with the same keys); it says where it resumes. A LOGFILE the state\n"
           "holds no position for is read from its start.\n"
           "\n"
           "  --json        one JSON object per record: the members of 'zorvlog parse\n"
           "                --json' (source is the LOGFILE as given), then \"key\": the\n"
           "                generation's identity and the record's offset, the same whenever\n"
           "                the record is read, so that a collector can drop a repeat\n"
           "  -o, --output MODE  short: the table of 'zorvlog parse' (the default); json:\n"
           "                as --json; cat: only the table's CONTENT column\n"
           "  --no-pager    taken, as journalctl takes it; the output is never paged\n"
           "  --journal     each record one entry of the systemd journal, its parts in\n"
           "                fields (SYSLOG_IDENTIFIER the vendor or component, PRIORITY\n"
           "                by kind, ZORV_KEY the key as --json has it, ZORV_LINES the\n"
           "                record's lines whole); the state moves past a record once\n"
           "                journald's socket took it. While journald takes nothing,\n"
           "                follow says so once and offers the record again, every 5 s\n"
           "                at the most, losing nothing\n"
           "  --relp HOST:PORT  each record one RFC 5424 message over RELP to a collector\n"
           "                (an IPv6 address in brackets: [::1]:2514), its MSG the line\n"
           "                --json prints; the state moves past a record only once the\n"
           "                collector acknowledged it. At most 512 records await their\n"
           "                acknowledgement; a broken connection is made again, every 5 s\n"
           "                at the most, and repeats at most those 512\n"
           "  --relp-tls    RELP over TLS: the collector's certificate must check against\n"
           "                --relp-ca and hold HOST or the --relp-peer NAME; one that\n"
           "                does not ends follow with exit status 1, nothing sent\n"
           "  --relp-ca FILE  the authorities (PEM) that sign the collector's certificate\n"
           "                (default: the system's)\n"
           "  --relp-cert FILE  this machine's certificate (PEM), for a collector that\n"
           "                takes records only from certified machines\n"
           "  --relp-key FILE  the private key of --relp-cert (PEM)\n"
           "  --relp-peer NAME  the name the collector's certificate must hold, when\n"
           "                HOST is not it\n"
           "  --state FILE  keep the positions in FILE and resume from them; one\n"
           "                follower at a time may use it; a LOGFILE, a file named as one\n"
           "                of its generations, anything but a regular file and a file of\n"
           "                other content are refused. Give it to a follower that feeds the\n"
           "                journal or a collector: without it, what is written while\n"
           "                follow is down never reaches them\n"
           "  -n, --lines N  print only the last N records of a LOGFILE (without --state:\n"
           "                10), then follow; -n 0: only new records; -n all: the whole\n"
           "                file. Where the state holds a position, it wins, and follow\n"
           "                says so\n"
           "  --olddir DIR  look for generations in DIR too, where logrotate's olddir\n"
           "                moves them (relative to each LOGFILE's directory)\n"
           "  --owner USER  trust the files of USER (a name or a number) as the log's own,\n"
           "                where several users write one log; may be given again\n"
           "\n"
           "Filters, as 'zorvlog parse' has them (see its --help), print only the records\n"
           "that pass all of them; the others are read and passed over, and the state moves\n"
           "past them as past a record printed:\n"
           "\n"
           "  --since TIME  records whose section time (when the writer started its\n"
           "                section, not when it wrote the record) is TIME or later\n"
           "  --until TIME  records whose section time is TIME or earlier\n"
           "  --kind KIND   error, debug, perf, pairs or text; several joined by commas\n"
           "  -p, --priority PRIORITY  records of that priority and the more important\n"
           "                ones, or a range FROM..TO, by name or number; a record has\n"
           "                the PRIORITY that --journal gives it\n"
           "  --pid N       records written by process N\n"
           "  --vendor ID   error records of that vendor (a number or a component name)\n"
           "  --code N      error records whose VendorError is N\n"
           "  --grep REGEX  records one of whose lines holds a match of REGEX (RE2's\n"
           "                syntax, as 'zorvlog parse --help' says)\n"
           "  -i, --ignore-case  --grep ignores case\n"
           "\n"
           "Stops on SIGTERM, SIGINT or SIGHUP with exit status 0, between two records. Exit\n"
           "status 1: the state file cannot be used, the output cannot be written, or the\n"
           "collector's certificate does not check; 2: bad arguments (a filter that does\n"
           "not read: one line says which).\n";
}

} // namespace zorvlog
