#include "follow/Generation.h"

#include "Fnv1a.h"
#include "output/EntryFormat.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// A record's lines are taken as whole once no line has come for this long:
// the next line, which would show it, may be a long time coming.
const std::chrono::milliseconds kQuiet(500);
// Lines read per call, so that a long backlog does not hold up the other logs
// and a request to stop.
const int kLinesPerRead = 4096;
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

Generation::Generation(int fd, const struct stat& st, const std::string& path, Emit emit, Note say,
                       const std::string& before)
    : mGrouper([this](LogEntry& entry) { handOut(entry); }), mEmit(std::move(emit)),
      mNote(std::move(say)), mPath(path), mDev(st.st_dev), mIno(st.st_ino),
      mLastData(Clock::now()) {
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
    mGrouper = RecordGrouper([this](LogEntry& entry) { handOut(entry); }, at.line + 1);
    return true;
}

bool Generation::read(Clock::time_point now) {
    if (mBroken) {
        return false;
    }
    bool worked = false;
    mAtEnd = false;
    for (int n = 0; n < kLinesPerRead && !mAtEnd; ++n) {
        const LogInput::Status status = mInput.next(mLine);
        if (status == LogInput::kLine) {
            feed(mLine);
        } else if (status == LogInput::kError) {
            note("cannot be read further: " + mInput.error());
            mBroken = mAtEnd = true;
        } else {
            mAtEnd = status == LogInput::kEnd;
        }
        worked = worked || status != LogInput::kEnd;
        if (status == LogInput::kMore) {
            break;
        }
    }
    if (worked) {
        mLastData = now;
    }
    return worked;
}

void Generation::feed(LogInput::Line& line) {
    if (mPosition.id.empty()) {
        mPosition.id = makeId(mSeed, line.text);
    }
    mGrouper.addLine(line);
    if (mLine.text.capacity() > kKeptLine) {
        mLine.text = std::string();
    }
}

void Generation::settle(Clock::time_point now, bool final) {
    if (now - mLastData < kQuiet) {
        return;
    }
    if (final) {
        finish();
    } else {
        mGrouper.finish();
    }
}

void Generation::finish() {
    while (!mBroken && mInput.rest(mLine)) {
        feed(mLine);
    }
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

void Generation::handOut(const LogEntry& entry) {
    mPosition.offset = entry.endOffset;
    mPosition.line = entry.lastLine;
    mPosition.crc = entry.endCrc;
    mPosition.head = entry.endOffset >= LogInput::kHead ? mInput.headCrc() : entry.endCrc;
    if (entry.truncated) {
        note(truncationNote(entry));
    }
    mEmit(entry, mPosition.id + ":" + std::to_string(entry.offset));
}

bool Generation::emptiedInPlace(const struct stat& st) const {
    const std::uint64_t read = mInput.offset();
    if (static_cast<std::uint64_t>(st.st_size) < read) {
        return true;
    }
    const std::string& tail = mInput.tail();
    std::string bytes(tail.size(), '\0');
    return !tail.empty() &&
           ::pread(mInput.fd(), &bytes[0], bytes.size(), static_cast<off_t>(read - tail.size())) ==
               static_cast<ssize_t>(bytes.size()) &&
           bytes != tail;
}

} // namespace zorvlog
