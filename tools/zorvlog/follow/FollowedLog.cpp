#include "follow/FollowedLog.h"

#include "output/TerminalText.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// How long a generation rotated away is watched for late writes, from the
// moment its successor was taken up: a writer opens the file per record, and
// one that opened it just before the rename writes a moment later; another
// program may keep it open for longer.
const std::chrono::seconds kLateWrites(60);
// Generations watched at once; beyond, the oldest watch ends early.
const std::size_t kMaxWatched = 8;

std::string directoryOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return path.substr(0, slash == 0 ? 1 : slash);
}

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
    if (!at.headKnown || at.offset <= LogInput::kHead || !input.open(fd)) {
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
                         Generation::Emit emit, Moved moved,
                         const std::vector<FollowPosition>* resume, Stopping stopping)
    : mPath(path), mOwners(owners), mEmit(std::move(emit)), mMoved(std::move(moved)),
      mStopping(std::move(stopping)) {
    if (resume != nullptr && !resume->empty()) {
        mResume = *resume;
        mResumePending = true;
    } else {
        rememberOldGenerations();
    }
}

// A log that does not exist yet may get generations rotated away before the
// follower looks again; those beside it now are older than anything it is to
// read.
void FollowedLog::rememberOldGenerations() {
    struct stat st;
    if (::lstat(mPath.c_str(), &st) == 0) {
        return;
    }
    mFresh = true;
    for (const RotatedFile& file : rotatedFiles(mPath, nullptr)) {
        LogInput input;
        const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0 || ::fstat(fd, &st) != 0 || !input.open(fd)) {
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
    for (const RotatedFile& file : rotatedFiles(mPath, nullptr)) {
        struct stat st;
        if (::stat(file.path.c_str(), &st) != 0) {
            continue;
        }
        bool old = false;
        for (const FollowPosition& known : mOld) {
            old = old || (st.st_dev == known.dev && st.st_ino == known.ino);
            // A compressed copy of one that was there starts with its bytes.
            GenerationPtr probe = !old && known.offset > 0 ? open(file.path, true) : nullptr;
            old = old || (probe != nullptr && probe->resumeAt(known, mStopping));
        }
        GenerationPtr generation = old ? nullptr : open(file.path, false);
        if (generation != nullptr) {
            return generation;
        }
    }
    return nullptr;
}

FollowedLog::~FollowedLog() = default;

void FollowedLog::note(const std::string& file, const std::string& text) {
    const std::string line = mPath + ": " + (file == mPath ? "" : file + ": ") + text;
    if (mSaid.insert(line).second) {
        std::fprintf(stderr, "zorvlog follow: %s\n", forTerminal(line).c_str());
    }
}

std::vector<FollowPosition> FollowedLog::positions() const {
    std::vector<FollowPosition> all;
    if (mCurrent != nullptr) {
        all.push_back(mCurrent->position());
    }
    for (const GenerationPtr& watched : mWatched) {
        all.push_back(watched->position());
        all.back().watched = true;
    }
    return all;
}

FollowedLog::GenerationPtr FollowedLog::open(const std::string& file, bool quiet) {
    struct stat st;
    std::string problem;
    bool missing = false;
    const int fd = openLogFile(file, mOwners, !mAccepted && file == mPath, &st, &problem, &missing);
    if (fd < 0) {
        if (!quiet && !(missing && file != mPath)) {
            note(file, missing ? std::string("waiting for it to appear") : problem + ": not read");
        }
        return nullptr;
    }
    mOwners.add(st.st_uid);
    mAccepted = true;
    // A file emptied in place starts a generation whose keys must differ
    // from those of what it held before, whatever its first line.
    const bool emptied = st.st_dev == mEmptied.dev && st.st_ino == mEmptied.ino;
    return std::make_unique<Generation>(
        fd, st, file, mEmit,
        [this](const std::string& at, const std::string& text) { note(at, text); },
        emptied ? mEmptied.id : std::string());
}

bool FollowedLog::poll() {
    const Clock::time_point now = Clock::now();
    bool worked = false;
    if (mResumePending) {
        mResumePending = false;
        resume();
        worked = true;
    }
    worked = watch(now) || worked;
    if (mCurrent == nullptr) {
        GenerationPtr first = open(mPath, false);
        if (first == nullptr) {
            return worked;
        }
        if (mFresh) {
            mFresh = false;
            if (GenerationPtr older = oldestNewGeneration()) {
                first = std::move(older);
            }
        }
        takeOver(std::move(first), now);
        worked = true;
    }
    worked = mCurrent->read(now) || worked;
    if (mCurrent->atEnd()) {
        worked = lookAtPath(now) || worked;
    }
    if (!worked && mCurrent != nullptr) {
        mCurrent->settle(now, !mAtPath);
    }
    return worked;
}

// The generation read is at its end for now: whether it is still the file at
// the path (emptied in place, maybe), or was rotated away.
bool FollowedLog::lookAtPath(Clock::time_point now) {
    struct stat st;
    if (::stat(mPath.c_str(), &st) == 0 && mCurrent->is(st)) {
        mAtPath = true;
        if (!mCurrent->input().compressed() && mCurrent->emptiedInPlace(st)) {
            followCopy(now);
            return true;
        }
        return false;
    }
    mAtPath = false;
    return moveOn(now);
}

// Rotated away (or removed): on to the generation after it, if there is one.
bool FollowedLog::moveOn(Clock::time_point now) {
    std::vector<std::pair<std::string, std::string>> unreadable;
    const std::vector<RotatedFile> chain = rotatedFiles(mPath, &unreadable);
    for (const auto& file : unreadable) {
        note(file.first, file.second);
    }
    for (const std::string& candidate : successors(chain)) {
        GenerationPtr next = open(candidate, false);
        if (next == nullptr || known(*next)) {
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
        const std::string where = whereNow(mCurrent->input().fd(), &removed);
        RotatedName rotated;
        const std::string dir = directoryOf(mPath);
        // Where it went cannot always be told; then the file at the path comes next.
        const bool named = !where.empty();
        if (named && !removed && directoryOf(where) != dir) {
            note(mCurrent->path(), "was moved out of the log's directory, to " + where +
                                       " (logrotate's olddir?), where follow does not look; "
                                       "going on with the file at the path");
        } else if (named && removed && directoryOf(where) == dir &&
                   parseRotatedName(mPath.substr(mPath.rfind('/') + 1),
                                    where.substr(where.rfind('/') + 1), &rotated) &&
                   !chain.empty()) {
            // Deleted by the rotation before it was left: everything beside
            // the log is newer.
            note(mCurrent->path(),
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
        if (::stat(chain[i].path.c_str(), &st) == 0 && mCurrent->is(st)) {
            return i;
        }
    }
    const FollowPosition read = mCurrent->readSoFar();
    if (read.offset == 0) {
        return -1;
    }
    for (int i = static_cast<int>(chain.size()) - 1; i >= 0; --i) {
        struct stat st;
        std::string problem;
        bool missing = false;
        const int fd = chain[i].name.gz
                           ? openLogFile(chain[i].path, mOwners, false, &st, &problem, &missing)
                           : -1;
        if (fd >= 0 &&
            Generation(fd, st, chain[i].path, nullptr, nullptr).resumeAt(read, mStopping)) {
            return i;
        }
    }
    return -1;
}

// Whether a file is one of the generations being read or watched.
bool FollowedLog::known(const Generation& generation) const {
    struct stat st;
    st.st_dev = generation.position().dev;
    st.st_ino = generation.position().ino;
    if (mCurrent != nullptr && mCurrent->is(st)) {
        return true;
    }
    for (const GenerationPtr& watched : mWatched) {
        if (watched->is(st)) {
            return true;
        }
    }
    return false;
}

// The next generation replaces the one read, which is watched for late
// writes. A copy of what was read (the same CRC-32 of that part) is read
// only beyond that part, as the same generation.
void FollowedLog::takeOver(GenerationPtr next, Clock::time_point now) {
    if (mCurrent != nullptr && mCurrent->input().offset() > 0) {
        GenerationPtr copy = open(next->path(), true);
        if (copy != nullptr && copy->resumeAt(mCurrent->readSoFar(), mStopping)) {
            next = std::move(copy);
        }
    }
    retire(std::move(mCurrent), now);
    mCurrent = std::move(next);
    mAtPath = mCurrent->path() == mPath;
    mSaid.clear();
    mMoved();
}

void FollowedLog::retire(GenerationPtr generation, Clock::time_point now) {
    if (generation == nullptr) {
        return;
    }
    // Nobody writes into a compressed file.
    if (generation->input().compressed() || generation->broken()) {
        if (!generation->input().complete() && !generation->broken()) {
            note(generation->path(), "the compressed data ends early: what followed in it is lost");
        }
        generation->finish();
        return;
    }
    generation->watchUntil = now + kLateWrites;
    mWatched.push_back(std::move(generation));
    if (mWatched.size() > kMaxWatched) {
        mWatched.front()->finish();
        mWatched.pop_front();
    }
}

// Late writes into generations rotated away, while they are watched.
bool FollowedLog::watch(Clock::time_point now) {
    bool worked = false;
    for (auto it = mWatched.begin(); it != mWatched.end();) {
        Generation& generation = **it;
        const bool read = generation.read(now);
        worked = worked || read;
        if (!read) {
            generation.settle(now, true);
        }
        if (!read && now >= generation.watchUntil) {
            generation.finish();
            it = mWatched.erase(it);
            mMoved();
        } else {
            ++it;
        }
    }
    return worked;
}

// The file at the path was emptied under us, as a rotation by copying and
// truncating does: the copy holds what was written after our last read, so
// reading goes on in it from the last record handed out, and the emptied
// file is a new generation.
void FollowedLog::followCopy(Clock::time_point now) {
    mEmptied = mCurrent->position();
    for (const RotatedFile& file : rotatedFiles(mPath, nullptr)) {
        GenerationPtr copy = open(file.path, true);
        if (copy != nullptr && copy->resumeAt(mCurrent->position(), mStopping)) {
            mCurrent = std::move(copy);
            mAtPath = false;
            mMoved();
            return;
        }
    }
    note(mPath, "was emptied (copied and truncated?) and no copy beside it holds what was read; "
                "whatever was written to it between the last read and the emptying is lost");
    mCurrent->finish();
    mCurrent.reset();
    if (GenerationPtr emptied = open(mPath, true)) {
        takeOver(std::move(emptied), now);
    }
}

void FollowedLog::resume() {
    std::vector<std::string> candidates{mPath};
    const std::vector<RotatedFile> chain = rotatedFiles(mPath, nullptr);
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
    for (const FollowPosition& at : mResume) {
        GenerationPtr found = find(candidates, at);
        if (at.watched) {
            if (found != nullptr) {
                found->watchUntil = now + kLateWrites;
                mWatched.push_back(std::move(found));
            }
        } else if (found != nullptr) {
            note(mPath, "resuming at byte " + std::to_string(at.offset) + " of " + found->path());
            mCurrent = std::move(found);
            mAtPath = mCurrent->path() == mPath;
        } else if (mStopping()) {
            return;
        } else if (!chain.empty()) {
            // Compressed and cut short before the position: what followed is
            // lost, the generations after it are not.
            std::size_t from = 0;
            for (std::size_t i = chain.size(); i-- > 0 && from == 0;) {
                struct stat st;
                std::string problem;
                bool missing = false;
                const int fd = chain[i].name.gz ? openLogFile(chain[i].path, mOwners, false, &st,
                                                              &problem, &missing)
                                                : -1;
                if (fd >= 0 && cutShortCopyOf(fd, at)) {
                    note(chain[i].path, "the compressed data ends before byte " +
                                            std::to_string(at.offset) +
                                            ", where reading stood: what followed in it is lost");
                    from = i + 1;
                }
            }
            if (from == 0) {
                note(mPath, "the file it was read in (up to byte " + std::to_string(at.offset) +
                                ") is no longer beside it: reading the generations there from "
                                "the oldest, " +
                                chain.front().path +
                                "; any deleted before they were read are lost");
            }
            for (std::size_t i = from; i < chain.size() && mCurrent == nullptr; ++i) {
                mCurrent = open(chain[i].path, false);
            }
            mAtPath = false;
        } else {
            note(mPath, "the file it was read in (up to byte " + std::to_string(at.offset) +
                            ") is gone; reading the log from its start");
        }
    }
    mMoved();
}

// The file a position was taken in: the candidate with its identity, then
// any other that starts with the bytes read (a compressed copy).
FollowedLog::GenerationPtr FollowedLog::find(const std::vector<std::string>& candidates,
                                             const FollowPosition& at) {
    for (int sameFile = 1; sameFile >= 0; --sameFile) {
        for (const std::string& candidate : candidates) {
            struct stat st;
            if (::stat(candidate.c_str(), &st) != 0 ||
                ((st.st_dev == at.dev && st.st_ino == at.ino) != (sameFile == 1)) ||
                (sameFile == 0 && at.offset == 0)) {
                continue;
            }
            GenerationPtr generation = open(candidate, true);
            if (generation != nullptr && generation->resumeAt(at, mStopping)) {
                return generation;
            }
            if (mStopping()) {
                return nullptr;
            }
        }
    }
    return nullptr;
}

} // namespace zorvlog
