#include "follow/Generation.h"

#include "Fnv1a.h"
#include "output/EntryFormat.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// A record's lines are taken as whole once no line has come for this long:
// the next line, which would show it, may be a long time coming.
const std::chrono::milliseconds kQuiet(500);
// Lines read per call at most, so that a long run of lines that make no
// record yet does not hold up the other logs and a request to stop.
const int kLinesPerRead = 4096;
// A record this large that waits at the end of what was written is taken as
// whole at once: waiting for quiet in every log followed would hold one such
// record per log.
const std::size_t kLargeWaiting = 1u << 20;
// The buffers of a record taken are kept for the next one up to this size.
const std::size_t kKeptRecord = 1u << 20;
// A line buffer larger than this is let go once its line is grouped.
const std::size_t kKeptLine = 1u << 20;

// The generation's identity in record keys: its inode and birth time, which
// tell it from the files before and after it, and its first line, which
// tells it from a file that got the same inode later.
std::string makeId(const std::string& seed, const std::string& firstLine) {
    const std::uint64_t hash = zorv_detail::fnv1a64(
        seed + firstLine.substr(0, std::min<std::size_t>(firstLine.size(), 4096)));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

} // namespace

Generation::Generation(int fd, const struct stat& st, const std::string& path, Note say,
                       const std::string& before)
    : mGrouper([this](LogEntry& entry) { ready(entry); }), mNote(std::move(say)), mPath(path),
      mDev(st.st_dev), mIno(st.st_ino), mLastData(Clock::now()) {
    struct statx birth;
    long long bornSec = 0, bornNsec = 0;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &birth) == 0 &&
        (birth.stx_mask & STATX_BTIME) != 0) {
        bornSec = birth.stx_btime.tv_sec;
        bornNsec = birth.stx_btime.tv_nsec;
    }
    mSeed = std::to_string(st.st_ino) + ":" + std::to_string(bornSec) + "." +
            std::to_string(bornNsec) + before;
    mPosition.dev = st.st_dev;
    mPosition.ino = st.st_ino;
    mPosition.owner = st.st_uid;
    mInput.open(fd, [this](std::uint64_t offset, std::uint64_t length) {
        this->note(LogInput::zerosSkipped(offset, length));
    });
}

bool Generation::resumeAt(const FollowPosition& at, const std::function<bool()>& stopping) {
    auto advance = [&](std::uint64_t offset) {
        LogInput::Status status;
        while ((status = mInput.advance(offset)) == LogInput::kMore) {
            if (stopping()) {
                return false;
            }
        }
        return status == LogInput::kLine;
    };
    if (at.headKnown &&
        (!advance(std::min(at.offset, LogInput::kHead)) || mInput.headCrc() != at.head)) {
        return false;
    }
    if (!advance(at.offset) || mInput.crc() != at.crc) {
        return false;
    }
    mPosition.id = at.id.empty() ? mPosition.id : at.id;
    mPosition.offset = at.offset;
    mPosition.line = at.line;
    mPosition.crc = at.crc;
    mPosition.head = mInput.headCrc();
    mGrouper = RecordGrouper([this](LogEntry& entry) { ready(entry); }, at.line + 1);
    return true;
}

const ReadyRecord* Generation::next(Clock::time_point now) {
    mMore = false;
    if (!mReady.empty()) {
        return &mReady.front();
    }
    if (mBroken) {
        mAtEnd = true;
        return nullptr;
    }
    mAtEnd = false;
    bool worked = false;
    int n = 0;
    for (; n < kLinesPerRead && mReady.empty(); ++n) {
        const LogInput::Status status = mInput.next(mLine);
        if (status == LogInput::kLine) {
            feed(mLine);
            worked = true;
        } else if (status == LogInput::kError) {
            note("cannot be read further: " + mInput.error());
            mBroken = mAtEnd = true;
            break;
        } else if (status == LogInput::kMore) {
            worked = mMore = true;
            break;
        } else {
            mAtEnd = true;
            mGrouper.handOnVisible();
            if (mGrouper.holdingBytes() > kLargeWaiting) {
                mGrouper.finish();
            }
            break;
        }
    }
    mMore = mMore || (n == kLinesPerRead && mReady.empty());
    if (worked) {
        mLastData = now;
    }
    return mReady.empty() ? nullptr : &mReady.front();
}

void Generation::take() {
    mPosition = mReady.front().after;
    std::swap(mSpare, mReady.front());
    mReady.pop_front();
    if (mSpare.entry.text.capacity() > kKeptRecord) {
        releaseBuffer(mSpare.entry.text);
    }
}

void Generation::feed(LogInput::Line& line) {
    if (mPosition.id.empty()) {
        mPosition.id = makeId(mSeed, line.text);
    }
    mGrouper.addLine(line);
    if (mLine.text.capacity() > kKeptLine) {
        releaseBuffer(mLine.text);
    }
}

void Generation::settle(Clock::time_point now, bool final) {
    if (now < quietAt()) {
        return;
    }
    if (final) {
        finish();
    } else {
        mGrouper.finish();
    }
}

Generation::Clock::time_point Generation::quietAt() const {
    return mGrouper.holding() ? mLastData + kQuiet : Clock::time_point::max();
}

void Generation::finish() {
    while (!mBroken && mInput.rest(mLine)) {
        feed(mLine);
    }
    mGrouper.finish();
}

void Generation::leave() {
    mGrouper.finish();
}

FollowPosition Generation::readSoFar() const {
    FollowPosition read = mPosition;
    read.offset = mInput.offset();
    read.line = mGrouper.linesAdded();
    read.crc = mInput.crc();
    read.head = mInput.headCrc();
    return read;
}

void Generation::ready(LogEntry& entry) {
    mReady.emplace_back();
    ReadyRecord& record = mReady.back();
    std::swap(record, mSpare);
    std::swap(record.entry, entry);
    record.after = mPosition;
    record.after.offset = record.entry.endOffset;
    record.after.line = record.entry.lastLine;
    record.after.crc = record.entry.endCrc;
    record.after.head =
        record.entry.endOffset >= LogInput::kHead ? mInput.headCrc() : record.entry.endCrc;
    if (record.entry.truncated) {
        note(truncationNote(record.entry));
    }
    record.key = mPosition.id;
    record.key += ':';
    record.key += std::to_string(record.entry.offset);
}

bool Generation::emptiedInPlace(const struct stat& st) {
    const std::uint64_t read = mInput.offset();
    if (static_cast<std::uint64_t>(st.st_size) < read) {
        return true;
    }
    const std::string& tail = mInput.tail();
    if (mDamageSaid || tail.empty()) {
        return false;
    }
    std::string bytes(tail.size(), '\0');
    const std::uint64_t from = read - tail.size();
    if (::pread(mInput.fd(), &bytes[0], bytes.size(), static_cast<off_t>(from)) !=
        static_cast<ssize_t>(bytes.size())) {
        return false;
    }
    const auto differ = std::mismatch(bytes.begin(), bytes.end(), tail.begin());
    if (differ.first != bytes.end()) {
        mDamageSaid = true;
        note("changed in place at byte " +
             std::to_string(from + static_cast<std::uint64_t>(differ.first - bytes.begin())) +
             " after it was read; what was read stands, reading goes on after it");
    }
    return false;
}

} // namespace zorvlog
