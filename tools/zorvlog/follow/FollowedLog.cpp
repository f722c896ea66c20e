#include "follow/FollowedLog.h"

#include "output/TerminalText.h"
#include "read/PathName.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// What a generation held open is watched for: writes, a copytruncate, a
// move (into another directory, too) and its end.
const std::uint32_t kGenerationEvents = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// What the log's directory is watched for: files made, renamed and removed
// in it and writes to them, and the directory itself moved or removed.
const std::uint32_t kDirectoryEvents = IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE |
                                       IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF |
                                       IN_DELETE_SELF;

// Where an open file is now, as the kernel names it, and whether it still
// has a name at all.
std::string whereNow(int fd, bool* removed) {
    struct stat st;
    *removed = ::fstat(fd, &st) == 0 && st.st_nlink == 0;
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    std::string where = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
    const std::string mark = " (deleted)";
    if (*removed && where.size() > mark.size() &&
        where.compare(where.size() - mark.size(), mark.size(), mark) == 0) {
        where.erase(where.size() - mark.size());
    }
    return where;
}

// Whether a compressed file starts as the generation a position was taken
// in (its first 4 KiB) but ends, cut short, before the position.
bool cutShortCopyOf(int fd, const FollowPosition& at) {
    LogInput input;
    if (!input.open(fd) || !at.headKnown || at.offset <= LogInput::kHead) {
        return false;
    }
    LogInput::Status status;
    while ((status = input.advance(LogInput::kHead)) == LogInput::kMore) {
    }
    if (status != LogInput::kLine || input.headCrc() != at.head) {
        return false;
    }
    while ((status = input.advance(at.offset)) == LogInput::kMore) {
    }
    return status != LogInput::kLine && input.compressed() && !input.complete();
}

} // namespace

FollowedLog::FollowedLog(const std::string& path, const TrustedOwners& owners,
                         const std::vector<FollowPosition>* resume, Stopping stopping,
                         LogWatch watch, long lastN, const std::string& olddir)
    : mPath(path), mOwners(owners), mStopping(std::move(stopping)), mWatch(watch), mOlddir(olddir),
      mLastN(lastN),
      mChain([this](const std::string& file, const std::string& text) { note(file, text); }) {
    watchDirectory();
    if (resume != nullptr && !resume->empty()) {
        mResume = *resume;
        mPhase = Phase::kResuming;
        return;
    }
    rememberOldGenerations();
    if (mPhase != Phase::kBeforeLog && lastN >= 0) {
        mPhase = Phase::kLastRecords;
    }
    // Nothing beside the log yet: whatever comes there later is newer.
    FollowPosition nothingBefore;
    nothingBefore.previous = chain(nullptr).empty();
    mChain.setPrevious(nothingBefore);
}

FollowedLog::~FollowedLog() {
    if (mDirectory >= 0) {
        ::close(mDirectory);
    }
}

const ReadyRecord* FollowedLog::next() {
    const Clock::time_point now = Clock::now();
    mMore = false;
    if (mPhase == Phase::kResuming) {
        resume();
        mResume.clear();
        mPhase = phaseOfCurrent();
    }
    // Late writes into generations rotated away come before the next ones.
    for (const GenerationPtr& watched : mChain.watched()) {
        if (watched->changed()) {
            damaged(*watched);
        }
        if (const ReadyRecord* record = watched->next(now)) {
            mFrom = watched.get();
            return record;
        }
        mMore = mMore || watched->more();
    }
    // A few steps along the chain at most; the caller comes back.
    for (int step = 0; step < 8; ++step) {
        if (mChain.current() == nullptr) {
            GenerationPtr first = open(mPath, false);
            if (first == nullptr) {
                return nullptr;
            }
            takeOver(start(std::move(first)), now);
        }
        Generation& current = *mChain.current();
        if (const ReadyRecord* record = current.next(now)) {
            mFrom = &current;
            return record;
        }
        if (current.more()) {
            mMore = true;
            return nullptr;
        }
        if (!current.atEnd() || !lookAtPath(now)) {
            return nullptr;
        }
    }
    mMore = true;
    return nullptr;
}

void FollowedLog::take() {
    mFrom->take();
    mTaken = true;
}

// The generation to read first once the file at the path appears.
FollowedLog::GenerationPtr FollowedLog::start(GenerationPtr first) {
    if (mPhase == Phase::kBeforeLog) {
        GenerationPtr older = oldestNewGeneration();
        mOld.clear();
        return older != nullptr ? std::move(older) : std::move(first);
    }
    return mPhase == Phase::kLastRecords ? lastRecords(std::move(first)) : std::move(first);
}

// The file at the path, opened again and read past all but its last mLastN
// records: one pass counts them, a second skips, so that memory does not
// grow with the count.
FollowedLog::GenerationPtr FollowedLog::lastRecords(GenerationPtr first) {
    const Clock::time_point now = Clock::now();
    auto pass = [&](Generation& generation, std::uint64_t limit) {
        std::uint64_t count = 0;
        while (count < limit && !mStopping()) {
            if (generation.next(now) != nullptr) {
                generation.take();
                ++count;
            } else if (!generation.more()) {
                break;
            }
        }
        return count;
    };
    std::uint64_t total = pass(*first, UINT64_MAX);
    // The last record may still wait for a line that shows its end: it is
    // one of the last records all the same.
    first->leave();
    total += pass(*first, UINT64_MAX);
    const std::uint64_t keep = static_cast<std::uint64_t>(mLastN);
    GenerationPtr again = open(mPath, true);
    if (again == nullptr || again->position().dev != first->position().dev ||
        again->position().ino != first->position().ino) {
        return first;
    }
    pass(*again, total > keep ? total - keep : 0);
    return again;
}

// A log that does not exist yet may get generations rotated away before the
// follower looks again; those beside it now are older than anything it is to
// read.
void FollowedLog::rememberOldGenerations() {
    struct stat st;
    if (::lstat(mPath.c_str(), &st) == 0) {
        return;
    }
    mPhase = Phase::kBeforeLog;
    for (const RotatedFile& file : chain(nullptr)) {
        LogInput input;
        const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd >= 0 && ::fstat(fd, &st) != 0) {
            ::close(fd);
            continue;
        }
        if (fd < 0 || !input.open(fd)) { // the input closes what it took
            continue;
        }
        while (input.advance(LogInput::kHead) == LogInput::kMore) {
        }
        FollowPosition old;
        old.dev = st.st_dev;
        old.ino = st.st_ino;
        old.offset = input.offset();
        old.crc = old.head = input.crc();
        mOld.push_back(old);
    }
}

// The oldest generation beside the log that was not there when the follower
// started, if any.
FollowedLog::GenerationPtr FollowedLog::oldestNewGeneration() {
    for (const RotatedFile& file : chain(nullptr)) {
        struct stat st;
        if (::stat(file.path.c_str(), &st) != 0) {
            continue;
        }
        bool old = false;
        for (const FollowPosition& known : mOld) {
            old = old || (st.st_dev == known.dev && st.st_ino == known.ino);
            // A compressed copy of one that was there starts with its bytes.
            GenerationPtr probe = !old && known.offset > 0 ? open(file.path, true) : nullptr;
            old =
                old || (probe != nullptr && probe->resumeAt(known, mStopping) == Generation::kSame);
        }
        GenerationPtr generation = old ? nullptr : open(file.path, false);
        if (generation != nullptr) {
            return generation;
        }
    }
    return nullptr;
}

void FollowedLog::resume() {
    std::vector<std::string> candidates{mPath};
    std::vector<std::pair<std::string, std::string>> unreadable;
    const std::vector<RotatedFile> chain = this->chain(&unreadable);
    for (const auto& file : unreadable) {
        note(file.first, file.second);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        candidates.push_back(it->path);
    }
    for (const FollowPosition& at : mResume) {
        if (at.ownerKnown) {
            mOwners.add(at.owner);
        }
    }
    struct stat st;
    if (mResume.front().ownerKnown == false && ::lstat(mPath.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
        mOwners.add(st.st_uid); // a state of the first format names no owner
    }
    mAccepted = true;
    const Clock::time_point now = Clock::now();
    bool current = false;
    for (const FollowPosition& at : mResume) {
        if (at.previous) {
            mChain.setPrevious(at);
        }
        current = current || (!at.previous && !at.watched);
    }
    if (!current && mChain.hasPrevious()) {
        // Stopped while the log was missing: what was rotated since is newer.
        placeAfterPrevious(chain);
    }
    for (const FollowPosition& at : mResume) {
        if (at.previous) {
            continue;
        }
        if (!at.watched && at.printLength == 0 && at.id.empty() && mChain.hasPrevious()) {
            // Nothing of it read: it is the generation after the one before it.
            placeAfterPrevious(chain);
            continue;
        }
        bool changed = false;
        GenerationPtr found = find(candidates, at, &changed);
        if (changed) {
            ++mStatus.damage;
            note(found->path(), "changed in place before byte " + std::to_string(at.offset) +
                                    ", where reading stood, while the follower was stopped; "
                                    "what was read stands, reading goes on after it");
        }
        if (at.watched) {
            if (found != nullptr) {
                mChain.watchAgain(std::move(found), now);
            } else if (!mStopping()) {
                note(mPath, "a generation watched for late writes (read up to byte " +
                                std::to_string(at.offset) +
                                ") is gone: whatever was written to it after that byte is lost");
            }
        } else if (found != nullptr) {
            note(mPath, "resuming at byte " + std::to_string(at.offset) + " of " + found->path());
            mChain.readIn(std::move(found));
        } else if (mStopping()) {
            return;
        } else if (!chain.empty()) {
            readOnWithout(at, chain);
        } else {
            note(mPath, "the file it was read in (up to byte " + std::to_string(at.offset) +
                            ") is gone; reading the log from its start");
        }
    }
    mMoved = true;
}

// A compressed generation of the chain, opened as the log's own file; -1
// for a plain one and for one that cannot be opened so.
int FollowedLog::openCompressed(const RotatedFile& file, struct stat& st) const {
    if (!file.name.compressed) {
        return -1;
    }
    std::string problem;
    bool missing = false;
    return openGeneration(file.path, mOwners, false, &st, &problem, &missing);
}

// The file the position `at` was taken in is not beside the log any more:
// the generations there are read from the one after it (a compressed copy
// cut short before the position), else from the oldest.
void FollowedLog::readOnWithout(const FollowPosition& at, const std::vector<RotatedFile>& chain) {
    // Compressed and cut short before the position: what followed is
    // lost, the generations after it are not.
    std::size_t from = 0;
    for (std::size_t i = chain.size(); i-- > 0 && from == 0;) {
        struct stat st;
        const int fd = openCompressed(chain[i], st);
        if (fd >= 0 && cutShortCopyOf(fd, at)) {
            note(chain[i].path, "the compressed data ends before byte " +
                                    std::to_string(at.offset) +
                                    ", where reading stood: what followed in it is lost");
            from = i + 1;
        }
    }
    if (from == 0) {
        ++mStatus.gaps;
        note(mPath, "the file it was read in (up to byte " + std::to_string(at.offset) +
                        ") is no longer beside it: reading the generations there from "
                        "the oldest, " +
                        chain.front().path + "; any deleted before they were read are lost");
    }
    readFirstOf(chain, from);
}

// The file a position was taken in: the candidate with its identity, then
// any other that holds the bytes read (a compressed copy, a copy). When none
// does, the file with its identity that starts as it did, changed before the
// position (*changed).
FollowedLog::GenerationPtr FollowedLog::find(const std::vector<std::string>& candidates,
                                             const FollowPosition& at, bool* changed) {
    *changed = false;
    for (int pass = 0; pass < 3; ++pass) {
        const bool sameFile = pass != 1;
        for (const std::string& candidate : candidates) {
            struct stat st;
            if (::stat(candidate.c_str(), &st) != 0 ||
                ((st.st_dev == at.dev && st.st_ino == at.ino) != sameFile) ||
                (!sameFile && at.offset == 0)) {
                continue;
            }
            GenerationPtr generation = open(candidate, true);
            const Generation::Match match = generation == nullptr
                                                ? Generation::kNone
                                                : generation->resumeAt(at, mStopping, pass == 2);
            if (match == Generation::kSame || (pass == 2 && match == Generation::kChanged)) {
                *changed = match == Generation::kChanged;
                return generation;
            }
            if (mStopping()) {
                return nullptr;
            }
        }
    }
    return nullptr;
}

// Reading stood at the start of a generation of which nothing was read: the
// generations after the one before it come next, in the chain's order, then
// the file at the path. When that one is gone too, the chain is read from its
// oldest, and the possible gap named.
void FollowedLog::placeAfterPrevious(const std::vector<RotatedFile>& chain) {
    std::size_t from = 0;
    const FollowPosition& previous = mChain.previous();
    bool found = previous.printLength == 0; // nothing came before it
    for (std::size_t i = chain.size(); i-- > 0 && !found && !mStopping();) {
        GenerationPtr candidate = open(chain[i].path, true);
        if (candidate != nullptr && candidate->resumeAt(previous, mStopping) == Generation::kSame) {
            from = i + 1;
            found = true;
        }
    }
    if (!found && !chain.empty() && !mStopping()) {
        ++mStatus.gaps;
        note(mPath, "the generation read before the one it stood in (up to byte " +
                        std::to_string(previous.offset) +
                        ") is no longer beside it: reading the generations there from the "
                        "oldest, " +
                        chain.front().path + "; any deleted before they were read are lost");
    }
    readFirstOf(chain, from);
}

// The first generation from chain[from] on that opens is the one read.
void FollowedLog::readFirstOf(const std::vector<RotatedFile>& chain, std::size_t from) {
    for (std::size_t i = from; i < chain.size() && mChain.current() == nullptr; ++i) {
        mChain.readIn(open(chain[i].path, false));
    }
}

// The generation read is at its end for now: whether it is still the file at
// the path (emptied in place, maybe), or was rotated away.
bool FollowedLog::lookAtPath(Clock::time_point now) {
    struct stat st;
    Generation& current = *mChain.current();
    if (::stat(mPath.c_str(), &st) == 0 && current.is(st)) {
        mPhase = Phase::kAtPath;
        if (current.changed()) {
            followCopy(now);
            return true;
        }
        return false;
    }
    if (current.changed()) {
        damaged(current);
        return true;
    }
    mPhase = Phase::kCatchingUp;
    return moveOn(now);
}

// Rotated away (or removed): on to the generation after it, if there is one.
bool FollowedLog::moveOn(Clock::time_point now) {
    std::vector<std::pair<std::string, std::string>> unreadable;
    const std::vector<RotatedFile> files = chain(&unreadable);
    for (const auto& file : unreadable) {
        note(file.first, file.second);
    }
    for (const std::string& candidate : successors(files)) {
        GenerationPtr next = open(candidate, false);
        if (next == nullptr || mChain.holds(*next)) {
            continue;
        }
        takeOver(std::move(next), now);
        return true;
    }
    return false;
}

// The files that may come after the generation read, in order: those after
// it in the chain, then the file at the path. When it is no longer beside
// the log, how it left decides.
std::vector<std::string> FollowedLog::successors(const std::vector<RotatedFile>& chain) {
    std::vector<std::string> next;
    const int at = locate(chain);
    if (at < 0) {
        bool removed = false;
        const std::string where = whereNow(mChain.current()->input().fd(), &removed);
        RotatedName rotated;
        const std::string dir = directoryOf(mPath);
        // Where it went cannot always be told; then the file at the path comes next.
        const bool named = !where.empty();
        if (named && !removed && directoryOf(where) != dir) {
            note(mChain.current()->path(),
                 "was moved out of the log's directory, to " + where +
                     " (logrotate's olddir?), where follow does not look; "
                     "going on with the file at the path");
        } else if (named && removed && directoryOf(where) == dir &&
                   parseRotatedName(baseNameOf(mPath), baseNameOf(where), &rotated) &&
                   !chain.empty()) {
            // Deleted by the rotation before it was left: everything beside
            // the log is newer.
            note(mChain.current()->path(),
                 "was deleted by the rotation (as " + where +
                     ") before the follower got past it: "
                     "going on with the oldest generation, " +
                     chain.front().path +
                     "; generations deleted before they were read, if any, are lost");
            for (const RotatedFile& file : chain) {
                next.push_back(file.path);
            }
        }
    } else {
        for (std::size_t i = static_cast<std::size_t>(at) + 1; i < chain.size(); ++i) {
            next.push_back(chain[i].path);
        }
    }
    next.push_back(mPath);
    return next;
}

// Where the generation read stands in the chain: the file with its identity,
// else the compressed file that starts with what it read; -1 when neither.
int FollowedLog::locate(const std::vector<RotatedFile>& chain) const {
    for (int i = static_cast<int>(chain.size()) - 1; i >= 0; --i) {
        struct stat st;
        if (::stat(chain[i].path.c_str(), &st) == 0 && mChain.current()->is(st)) {
            return i;
        }
    }
    const FollowPosition read = mChain.current()->readSoFar();
    if (read.offset == 0) {
        return -1;
    }
    for (int i = static_cast<int>(chain.size()) - 1; i >= 0; --i) {
        struct stat st;
        const int fd = openCompressed(chain[i], st);
        if (fd >= 0 &&
            Generation(fd, st, chain[i].path, [](const std::string&, const std::string&) {
            }).resumeAt(read, mStopping) == Generation::kSame) {
            return i;
        }
    }
    return -1;
}

// The next generation replaces the one read, which is watched for late
// writes. A copy of what was read (the same CRC-32 of that part) is read
// only beyond that part, as the same generation.
void FollowedLog::takeOver(GenerationPtr next, Clock::time_point now) {
    Generation* current = mChain.current();
    if (current != nullptr && current->input().offset() > 0) {
        GenerationPtr copy = open(next->path(), true);
        if (copy != nullptr &&
            copy->resumeAt(current->readSoFar(), mStopping) == Generation::kSame) {
            next = std::move(copy);
        }
    }
    mChain.takeOver(std::move(next), now);
    mPhase = phaseOfCurrent();
    mSaid.clear();
    mMoved = true;
}

FollowedLog::Phase FollowedLog::phaseOfCurrent() const {
    const Generation* current = mChain.current();
    if (current == nullptr) {
        return Phase::kWaiting;
    }
    return current->path() == mPath ? Phase::kAtPath : Phase::kCatchingUp;
}

// Bytes already read differ in the file at the path. A copy beside it that
// holds what was read means a rotation by copying and emptying: reading goes
// on in the copy from the last record handed out, and the file at the path
// is a new generation. Without a copy, a file that still starts with the
// generation's first line and is no shorter was changed in place (damage);
// otherwise it was emptied or replaced, and what it held beyond what was
// read is lost.
void FollowedLog::followCopy(Clock::time_point now) {
    Generation& current = *mChain.current();
    for (const RotatedFile& file : chain(nullptr)) {
        GenerationPtr copy = open(file.path, true);
        if (copy != nullptr && copy->resumeAt(current.position(), mStopping) == Generation::kSame) {
            mChain.readIn(std::move(copy));
            mPhase = Phase::kInCopy;
            mMoved = true;
            return;
        }
    }
    struct stat st;
    if (::fstat(current.input().fd(), &st) == 0 &&
        static_cast<std::uint64_t>(st.st_size) >= current.input().offset() &&
        current.sameStart(mStopping)) {
        damaged(current);
        return;
    }
    ++mStatus.gaps;
    note(mPath, "was emptied or replaced (copied and truncated?) and no copy beside it holds what "
                "was read: bytes " +
                    std::to_string(current.input().offset()) + " to the end it had then are lost");
    mChain.abandonCurrent(now);
    mPhase = Phase::kWaiting;
    if (GenerationPtr emptied = open(mPath, true)) {
        takeOver(std::move(emptied), now);
    }
}

void FollowedLog::damaged(Generation& generation) {
    ++mStatus.damage;
    note(generation.path(),
         "changed in place at byte " + std::to_string(generation.changedAt()) +
             " after it was read; what was read stands, reading goes on after it");
    generation.acceptChange();
}

void FollowedLog::settle() {
    watchDirectory();
    mMoved = mChain.settle(Clock::now(), mPhase == Phase::kAtPath) || mMoved;
}

bool FollowedLog::moved() {
    const bool was = mMoved;
    mMoved = false;
    return was;
}

const LogStatus& FollowedLog::status() {
    // Stamped once per save rather than per record: the batch's time.
    if (mTaken) {
        mTaken = false;
        mStatus.lastOut = stateTimeNow();
    }
    struct stat st;
    Generation* current = mChain.current();
    const bool plain = current != nullptr && !current->input().compressed() &&
                       ::fstat(current->input().fd(), &st) == 0;
    const std::uint64_t read = plain ? current->input().offset() : 0;
    mStatus.behind = plain && static_cast<std::uint64_t>(st.st_size) > read
                         ? static_cast<std::uint64_t>(st.st_size) - read
                         : 0;
    return mStatus;
}

FollowedLog::GenerationPtr FollowedLog::open(const std::string& file, bool quiet) {
    struct stat st;
    std::string problem;
    bool missing = false;
    const int fd =
        openGeneration(file, mOwners, !mAccepted && file == mPath, &st, &problem, &missing);
    if (fd < 0) {
        if (missing && file == mPath && !quiet) {
            if (!mSaidWaiting) {
                std::fprintf(stderr, "zorvlog follow: %s: waiting for it to appear\n",
                             forTerminal(mPath).c_str());
            }
            mSaidWaiting = true;
        } else if (!quiet && !missing) {
            note(file, problem + ": not read");
        }
        return nullptr;
    }
    mOwners.add(st.st_uid);
    mAccepted = true;
    mWatch.add(fd, kGenerationEvents);
    return std::make_unique<Generation>(
        fd, st, file, [this](const std::string& at, const std::string& text) { note(at, text); });
}

// The directory is watched as it was opened; when the path leads to another
// one (the directory was made only later, or replaced), that one is opened
// and watched.
void FollowedLog::watchDirectory() {
    const std::string dir = directoryOf(mPath);
    struct stat now, held;
    if (mDirectory >= 0 && ::stat(dir.c_str(), &now) == 0 && ::fstat(mDirectory, &held) == 0 &&
        now.st_dev == held.st_dev && now.st_ino == held.st_ino) {
        return;
    }
    const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (mDirectory >= 0) {
        ::close(mDirectory);
    }
    mDirectory = fd;
    mWatch.add(mDirectory, kDirectoryEvents, baseNameOf(mPath));
}

// The generations beside the log. Of one rotation's plain and compressed
// file the plain one is read, as the one being compressed, but only when it
// is the log's own: a namesake someone else put there hides nothing.
std::vector<RotatedFile>
FollowedLog::chain(std::vector<std::pair<std::string, std::string>>* unreadable) {
    return rotatedFiles(
        mPath, unreadable,
        [this](const std::string& file) {
            struct stat st;
            std::string problem;
            bool missing = false;
            const int fd = openGeneration(file, mOwners, false, &st, &problem, &missing);
            if (fd >= 0) {
                ::close(fd);
            }
            return missing ? std::string() : problem;
        },
        mOlddir);
}

void FollowedLog::note(const std::string& file, const std::string& text) {
    const std::string line = mPath + ": " + (file == mPath ? "" : file + ": ") + text;
    if (mSaid.insert(line).second) {
        std::fprintf(stderr, "zorvlog follow: %s\n", forTerminal(line).c_str());
    }
}

} // namespace zorvlog
