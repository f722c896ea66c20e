#include "FollowedLog.h"

#include "LogInput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace zorvlog {

namespace {

// How long a generation renamed away may still receive writes: a writer opens
// the file per record, so one that opened it just before the rename (and ran
// "uname -a" for an error record meanwhile) writes a moment later. Measured
// from the file's last change (the rename changes it too), so that a file
// rotated long before a restart is not waited for.
const std::chrono::milliseconds kLateWrites(2000);
// A record's lines are taken as whole once no line has come for this long:
// the next line, which would show it, may be a long time coming.
const std::chrono::milliseconds kQuiet(500);
// Lines read per poll, so that a long backlog does not hold up the other logs
// and a request to stop.
const int kLinesPerPoll = 4096;
// The bytes before the reading position compared to notice a file emptied
// and refilled past it.
const std::size_t kTail = 64;

std::uint32_t crcAdd(std::uint32_t crc, const char* data, std::size_t size) {
    return static_cast<std::uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

// The generation's identity in record keys: its inode and birth time, which
// tell it from the files before and after it, and its first line, which
// tells it from a file that got the same inode later.
std::string makeId(const std::string& seed, const std::string& firstLine) {
    std::uint64_t hash = 14695981039346656037ULL; // FNV-1a
    auto mix = [&hash](const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
        }
    };
    mix(seed.data(), seed.size());
    mix(firstLine.data(), std::min<std::size_t>(firstLine.size(), 4096));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

struct Sibling {
    std::string path;
    struct stat st;
};

// The rotated files beside a log: regular files whose names are the log's
// name with something after it.
std::vector<Sibling> siblings(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    const std::string dir = path.substr(0, slash == 0 ? 1 : slash);
    const std::string base = path.substr(slash + 1);
    std::vector<Sibling> found;
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return found;
    }
    while (const struct dirent* item = ::readdir(listing)) {
        const std::string name = item->d_name;
        Sibling sibling;
        sibling.path = (dir == "/" ? "" : dir) + "/" + name;
        if (name.size() > base.size() && name.compare(0, base.size(), base) == 0 &&
            ::lstat(sibling.path.c_str(), &sibling.st) == 0 && S_ISREG(sibling.st.st_mode)) {
            found.push_back(sibling);
        }
    }
    ::closedir(listing);
    std::sort(found.begin(), found.end(), [](const Sibling& a, const Sibling& b) {
        const struct timespec &x = a.st.st_mtim, &y = b.st.st_mtim;
        return x.tv_sec != y.tv_sec ? x.tv_sec < y.tv_sec : x.tv_nsec < y.tv_nsec;
    });
    return found;
}

bool newer(const struct stat& a, const struct stat& b) {
    return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                                : a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

struct FollowedLog::Generation {
    LogInput input;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string seed;    // inode and birth time, for the identity
    FollowPosition read; // what has gone to the grouper
    std::string tail;    // its last bytes (kTail at most)

    bool is(const struct stat& st) const { return st.st_dev == dev && st.st_ino == ino; }
};

FollowedLog::FollowedLog(const std::string& path, Emit emit, Moved moved,
                         const FollowPosition* resume)
    : mPath(path), mEmit(std::move(emit)), mMoved(std::move(moved)),
      mGrouper([this](LogEntry& entry) { handOut(entry); }) {
    if (resume != nullptr) {
        resumeAt(*resume);
    }
}

FollowedLog::~FollowedLog() = default;

void FollowedLog::note(const std::string& text) {
    if (text != mLastNote) {
        mLastNote = text;
        std::fprintf(stderr, "zorvlog follow: %s: %s\n", mPath.c_str(), text.c_str());
    }
}

std::unique_ptr<FollowedLog::Generation> FollowedLog::openGeneration(const std::string& file,
                                                                     bool quiet) {
    // Non-blocking, so that a FIFO in the log's place cannot hold us up: it
    // is refused below, and a regular file reads the same either way.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (!quiet) {
            note(errno == ENOENT ? "waiting for it to appear"
                                 : std::string("cannot open: ") + std::strerror(errno));
        }
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (!quiet) {
            note("not a regular file");
        }
        return nullptr;
    }
    auto generation = std::make_unique<Generation>();
    generation->dev = st.st_dev;
    generation->ino = st.st_ino;
    struct statx birth;
    long long bornSec = 0, bornNsec = 0;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &birth) == 0 &&
        (birth.stx_mask & STATX_BTIME) != 0) {
        bornSec = birth.stx_btime.tv_sec;
        bornNsec = birth.stx_btime.tv_nsec;
    }
    generation->seed =
        std::to_string(st.st_ino) + ":" + std::to_string(bornSec) + "." + std::to_string(bornNsec);
    generation->read.dev = st.st_dev;
    generation->read.ino = st.st_ino;
    if (!generation->input.open(fd)) {
        if (!quiet) {
            note(file + ": " + generation->input.error());
        }
        if (generation->input.binary()) {
            mRefusedDev = st.st_dev;
            mRefusedIno = st.st_ino;
        }
        return nullptr;
    }
    return generation;
}

bool FollowedLog::atPath(const Generation& generation) const {
    struct stat st;
    return ::stat(mPath.c_str(), &st) == 0 && generation.is(st);
}

void FollowedLog::resumeAt(const FollowPosition& resume) {
    std::vector<Sibling> rotated = siblings(mPath);
    // The file at the path, then the rotated ones with the same identity,
    // then any other (a compressed copy): the bytes read decide.
    std::vector<std::string> candidates{mPath};
    for (int sameFile = 1; sameFile >= 0; --sameFile) {
        for (const Sibling& s : rotated) {
            if ((s.st.st_dev == resume.dev && s.st.st_ino == resume.ino) == (sameFile == 1)) {
                candidates.push_back(s.path);
            }
        }
    }
    for (const std::string& candidate : candidates) {
        struct stat st;
        if (::stat(candidate.c_str(), &st) != 0) {
            continue;
        }
        const bool sameFile = st.st_dev == resume.dev && st.st_ino == resume.ino;
        if (resume.offset == 0 && !sameFile) {
            continue; // nothing read that could recognise it
        }
        std::unique_ptr<Generation> generation = openGeneration(candidate, true);
        std::uint32_t crc = 0;
        if (generation == nullptr || !generation->input.skip(resume.offset, crc) ||
            crc != resume.crc) {
            continue;
        }
        generation->read.id = resume.id;
        generation->read.offset = resume.offset;
        generation->read.line = resume.line;
        generation->read.crc = resume.crc;
        const bool isAtPath = candidate == mPath;
        if (!isAtPath) {
            // What the log went through while nobody followed it: the files
            // rotated after this one, oldest first. A compressed file whose
            // source is still there is being made from it.
            for (const Sibling& s : rotated) {
                const bool compressing =
                    endsWith(s.path, ".gz") &&
                    std::any_of(rotated.begin(), rotated.end(), [&s](const Sibling& other) {
                        return other.path == s.path.substr(0, s.path.size() - 3);
                    });
                if (newer(s.st, st) && !generation->is(s.st) && !compressing) {
                    if (auto later = openGeneration(s.path, true)) {
                        mQueue.push_back(std::move(later));
                    }
                }
            }
        }
        startOn(std::move(generation), false);
        return;
    }
    note("the file it was read in (up to byte " + std::to_string(resume.offset) +
         ") is gone; reading the log from its start");
}

void FollowedLog::startOn(std::unique_ptr<Generation> generation, bool announce) {
    mCurrent = std::move(generation);
    mAtPath = atPath(*mCurrent);
    mAtEnd = false;
    mBroken = false;
    mGrouper = RecordGrouper([this](LogEntry& entry) { handOut(entry); }, mCurrent->read.line + 1);
    mLastLine = mLineBefore =
        LineEnd{mCurrent->read.offset, mCurrent->read.line, mCurrent->read.crc};
    mEntryEnds.clear();
    mPosition = mCurrent->read;
    mLastData = Clock::now();
    mLastNote.clear();
    if (announce) {
        mMoved();
    }
}

bool FollowedLog::poll() {
    const Clock::time_point now = Clock::now();
    bool worked = false;
    if (mCurrent == nullptr) {
        std::unique_ptr<Generation> next;
        if (!mQueue.empty()) {
            next = std::move(mQueue.front());
            mQueue.pop_front();
        } else {
            struct stat st;
            if (::stat(mPath.c_str(), &st) == 0 && st.st_dev == mRefusedDev &&
                st.st_ino == mRefusedIno) {
                return false;
            }
            next = openGeneration(mPath, false);
        }
        if (next == nullptr) {
            return false;
        }
        startOn(std::move(next), true);
        worked = true;
    }
    worked = readSome(now) || worked;
    watchPath();
    if (mCurrent != nullptr && !mAtPath && mayFinish()) {
        finishCurrent();
        return true;
    }
    if (!worked && mAtEnd && mGrouper.holding() && now - mLastData >= kQuiet) {
        mGrouper.finish();
    }
    return worked;
}

bool FollowedLog::readSome(Clock::time_point now) {
    if (mCurrent == nullptr || mBroken) {
        return false;
    }
    std::string line;
    std::uint64_t offset = 0;
    for (int n = 0; n < kLinesPerPoll; ++n) {
        LogInput::Status status = mCurrent->input.next(line, offset);
        if (status == LogInput::kLine) {
            feed(line, offset, true, now);
            continue;
        }
        mAtEnd = true;
        if (status == LogInput::kError) {
            note("cannot be read further: " + mCurrent->input.error());
            mBroken = true;
        }
        return n > 0;
    }
    mAtEnd = false;
    return true;
}

void FollowedLog::feed(const std::string& line, std::uint64_t offset, bool terminated,
                       Clock::time_point now) {
    FollowPosition& read = mCurrent->read;
    if (offset == 0 && read.id.empty()) {
        read.id = makeId(mCurrent->seed, line);
    }
    read.crc = crcAdd(read.crc, line.data(), line.size());
    if (terminated) {
        read.crc = crcAdd(read.crc, "\n", 1);
    }
    read.offset = offset + line.size() + (terminated ? 1 : 0);
    mCurrent->tail += line;
    if (terminated) {
        mCurrent->tail += '\n';
    }
    if (mCurrent->tail.size() > kTail) {
        mCurrent->tail.erase(0, mCurrent->tail.size() - kTail);
    }
    ++read.line;
    mLastData = now;
    mLineBefore = mLastLine;
    mLastLine = LineEnd{read.offset, read.line, read.crc};
    if (mGrouper.addLine(line, offset, terminated) && mLineBefore.end > mPosition.offset) {
        mEntryEnds.push_back(mLineBefore);
    }
}

void FollowedLog::handOut(const LogEntry& entry) {
    const LineEnd* end = nullptr;
    if (entry.endOffset == mLastLine.end) {
        end = &mLastLine;
    } else if (entry.endOffset == mLineBefore.end) {
        end = &mLineBefore;
    } else {
        for (const LineEnd& candidate : mEntryEnds) {
            if (candidate.end == entry.endOffset) {
                end = &candidate;
            }
        }
    }
    if (end != nullptr) {
        mPosition.offset = end->end;
        mPosition.line = end->line;
        mPosition.crc = end->crc;
    }
    while (!mEntryEnds.empty() && mEntryEnds.front().end <= entry.endOffset) {
        mEntryEnds.pop_front();
    }
    mPosition.dev = mCurrent->read.dev;
    mPosition.ino = mCurrent->read.ino;
    mPosition.id = mCurrent->read.id;
    mEmit(entry, mPosition.id + ":" + std::to_string(entry.offset));
}

void FollowedLog::watchPath() {
    struct stat st;
    if (::stat(mPath.c_str(), &st) != 0) {
        mAtPath = false; // renamed or removed; its successor is waited for
        return;
    }
    if (mCurrent != nullptr && mCurrent->is(st)) {
        mAtPath = true;
        if (static_cast<std::uint64_t>(st.st_size) < mCurrent->read.offset || rewritten()) {
            followCopy();
        }
        return;
    }
    mAtPath = false;
    for (const auto& queued : mQueue) {
        if (queued->is(st)) {
            return;
        }
    }
    if (st.st_dev == mRefusedDev && st.st_ino == mRefusedIno) {
        return;
    }
    if (auto next = openGeneration(mPath, false)) {
        mQueue.push_back(std::move(next));
    }
}

// The file was emptied under us, as a rotation by copying and truncating
// does: the copy holds what was written after our last read, so reading goes
// on in it, and the emptied file is a new generation.
void FollowedLog::followCopy() {
    const FollowPosition read = mCurrent->read;
    for (const Sibling& s : siblings(mPath)) {
        if (static_cast<std::uint64_t>(s.st.st_size) < read.offset) {
            continue;
        }
        std::unique_ptr<Generation> copy = openGeneration(s.path, true);
        std::uint32_t crc = 0;
        if (copy != nullptr && copy->input.skip(read.offset, crc) && crc == read.crc) {
            copy->read.id = read.id;
            copy->read.offset = read.offset;
            copy->read.line = read.line;
            copy->read.crc = read.crc;
            mCurrent = std::move(copy);
            mAtPath = false;
            mAtEnd = false;
            return;
        }
    }
    note("was emptied (copied and truncated?) and no copy holds what was read; whatever was "
         "written to it between the last read and the emptying is lost");
    // What is buffered beyond the last line came from the new content.
    mGrouper.finish();
    mCurrent.reset();
}

// Whether the bytes just before the reading position are no longer those
// read: the file was emptied and has grown past that position again.
bool FollowedLog::rewritten() {
    Generation& g = *mCurrent;
    char bytes[kTail];
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kTail, g.read.offset));
    if (n == 0 || ::pread(g.input.fd(), bytes, n, static_cast<off_t>(g.read.offset - n)) !=
                      static_cast<ssize_t>(n)) {
        return false;
    }
    if (g.tail.size() != n) {
        g.tail.assign(bytes, n); // resumed: the tail was not seen
        return false;
    }
    return g.tail.compare(0, n, bytes, n) != 0;
}

bool FollowedLog::mayFinish() const {
    if (!mAtEnd) {
        return false;
    }
    if (mBroken) {
        return true;
    }
    if (mCurrent->input.compressed()) {
        return mCurrent->input.complete(); // nobody writes into a compressed file
    }
    // A plain file renamed away: finished once its successor is there and
    // it has been neither written nor renamed (its change time) for a while.
    struct stat st;
    if (mQueue.empty() || ::fstat(mCurrent->input.fd(), &st) != 0) {
        return false;
    }
    const bool written = st.st_mtim.tv_sec != st.st_ctim.tv_sec
                             ? st.st_mtim.tv_sec > st.st_ctim.tv_sec
                             : st.st_mtim.tv_nsec > st.st_ctim.tv_nsec;
    const struct timespec& last = written ? st.st_mtim : st.st_ctim;
    const auto lastChange = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(last.tv_sec) + std::chrono::nanoseconds(last.tv_nsec)));
    return std::chrono::system_clock::now() - lastChange >= kLateWrites;
}

void FollowedLog::finishCurrent() {
    std::string rest;
    std::uint64_t offset = 0;
    if (!mBroken && mCurrent->input.rest(rest, offset)) {
        feed(rest, offset, false, Clock::now()); // a torn last line: nothing will complete it
    }
    mGrouper.finish();
    mCurrent.reset();
    if (!mQueue.empty()) {
        std::unique_ptr<Generation> next = std::move(mQueue.front());
        mQueue.pop_front();
        startOn(std::move(next), true);
    }
}

} // namespace zorvlog
