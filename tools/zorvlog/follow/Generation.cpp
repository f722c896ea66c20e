#include "follow/Generation.h"

#include "output/EntryFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

} // namespace

Generation::Generation(int fd, const struct stat& st, const std::string& path, Note say)
    : mGrouper([this](LogEntry& entry) { ready(entry); }), mNote(std::move(say)), mPath(path),
      mDev(st.st_dev), mIno(st.st_ino), mLastData(Clock::now()) {
    mPosition.dev = st.st_dev;
    mPosition.ino = st.st_ino;
    mPosition.owner = st.st_uid;
    mInput.open(fd, [this](std::uint64_t offset, std::uint64_t length) {
        this->note(LogInput::zerosSkipped(offset, length));
    });
}

Generation::Match Generation::resumeAt(const FollowPosition& at,
                                       const std::function<bool()>& stopping, bool evenChanged) {
    auto advance = [&](std::uint64_t offset) {
        LogInput::Status status;
        while ((status = mInput.advance(offset)) == LogInput::kMore) {
            if (stopping()) {
                return false;
            }
        }
        return status == LogInput::kLine;
    };
    Fingerprint print;
    const bool marked = at.printLength > 0 && at.window > 0;
    Match match = kSame;
    if (!marked) {
        // A position of an older state: the CRC-32s of everything before it.
        if (at.headKnown &&
            (!advance(std::min(at.offset, LogInput::kHead)) || mInput.headCrc() != at.head)) {
            return kNone;
        }
        if (!advance(at.offset) || mInput.crc() != at.crc) {
            return kNone;
        }
        readFingerprint(mInput.fd(), print, stopping);
    } else {
        if (!readFingerprint(mInput.fd(), print, stopping) || print.print != at.print ||
            print.length != at.printLength) {
            return kNone;
        }
        if (!mInput.compressed() && mInput.seekable()) {
            struct stat st;
            if (::fstat(mInput.fd(), &st) != 0 ||
                static_cast<std::uint64_t>(st.st_size) < at.offset) {
                return kNone;
            }
            match = windowHolds(mInput.fd(), at.offset, at.window, at.windowCrc) ? kSame : kChanged;
            if ((match == kChanged && !evenChanged) ||
                !mInput.reopenAt(at.offset, at.crc, at.head)) {
                return match == kChanged ? kChanged : kNone;
            }
        } else {
            if (!advance(at.offset)) {
                return kNone;
            }
            const std::string& tail = mInput.tail();
            const std::size_t n = std::min<std::size_t>(at.window, tail.size());
            const bool holds = n == at.window &&
                               static_cast<std::uint32_t>(crc32(
                                   0, reinterpret_cast<const Bytef*>(tail.data() + tail.size() - n),
                                   static_cast<uInt>(n))) == at.windowCrc;
            match = holds ? kSame : kChanged;
            if (match == kChanged && !evenChanged) {
                return kChanged;
            }
        }
    }
    mPosition.id = at.id;
    mPosition.offset = at.offset;
    mPosition.line = at.line;
    mPosition.crc = mInput.crc();
    mPosition.head = mInput.headCrc();
    mPosition.print = print.print;
    mPosition.printLength = print.length;
    mPosition.window = at.window;
    mPosition.windowCrc = at.windowCrc;
    mWindows[1].end = at.offset;
    mWindows[1].length = at.window;
    mWindowPending = false;
    mTrustedFrom = at.offset;
    mGrouper = RecordGrouper([this](LogEntry& entry) { ready(entry); }, at.line + 1);
    return match;
}

// Before reading on from the end: the bytes read last are compared with the
// file's.
bool Generation::stillHolds() {
    const std::string& tail = mInput.tail();
    const std::uint64_t read = mInput.offset();
    const std::uint64_t from = std::max<std::uint64_t>(read - tail.size(), mTrustedFrom);
    if (from >= read) {
        return true;
    }
    const std::size_t n = static_cast<std::size_t>(read - from);
    char bytes[LogInput::kTail];
    const ssize_t got = ::pread(mInput.fd(), bytes, n, static_cast<off_t>(from));
    const char* expected = tail.data() + tail.size() - n;
    const std::size_t have = got > 0 ? static_cast<std::size_t>(got) : 0;
    const std::size_t same =
        static_cast<std::size_t>(std::mismatch(bytes, bytes + have, expected).first - bytes);
    if (same == n) {
        return true;
    }
    mChangedAt = from + same;
    return false;
}

bool Generation::sameStart(const std::function<bool()>& stopping) const {
    Fingerprint print;
    return identified() && readFingerprint(mInput.fd(), print, stopping) &&
           print.print == mPosition.print && print.length == mPosition.printLength;
}

void Generation::abandon() {
    mGrouper.finish();
    mBroken = true;
    mChanged = false;
}

void Generation::acceptChange() {
    mChanged = false;
    mTrustedFrom = mInput.offset();
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
    if (mAtEnd && !mChanged && mInput.seekable() && !mInput.compressed()) {
        mChanged = !stillHolds();
    }
    if (mChanged) {
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
    // The record's last line ends its text, as it stands in the file.
    if (mPosition.window > 0) {
        const std::string& text = mReady.front().entry.text;
        const std::size_t n = mPosition.window - 1;
        std::memcpy(mWindowBytes, text.data() + text.size() - n, n);
        mWindowBytes[n] = '\n';
    }
    mWindowPending = mPosition.window > 0;
    std::swap(mSpare, mReady.front());
    mReady.pop_front();
    if (mSpare.entry.text.capacity() > kKeptRecord) {
        releaseBuffer(mSpare.entry.text);
    }
}

void Generation::feed(LogInput::Line& line) {
    if (mPosition.printLength == 0 && mPosition.id.empty()) {
        const Fingerprint print = fingerprintOf(line);
        mPosition.print = print.print;
        mPosition.printLength = print.length;
    }
    mWindows[0] = mWindows[1];
    mWindows[1] = windowOf(line);
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

const FollowPosition& Generation::position() const {
    if (mWindowPending) {
        mWindowPending = false;
        mPosition.windowCrc = windowCrc(mWindowBytes, mPosition.window);
    }
    return mPosition;
}

FollowPosition Generation::readSoFar() const {
    FollowPosition read = position();
    read.offset = mInput.offset();
    read.line = mGrouper.linesAdded();
    read.crc = mInput.crc();
    read.head = mInput.headCrc();
    const std::string& tail = mInput.tail();
    const std::uint32_t length = mWindows[1].end == read.offset ? mWindows[1].length : 0;
    if (length > 0 && tail.size() >= length) {
        read.window = length;
        read.windowCrc = windowCrc(tail.data() + tail.size() - length, length);
    } else if (length == 0 || read.offset != position().offset) {
        read.window = read.windowCrc = 0; // a position without it is checked by its CRC-32s
    }
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
    record.after.window = record.after.windowCrc = 0;
    for (const LineWindow& window : mWindows) {
        if (window.end == record.entry.endOffset && !record.entry.truncated &&
            record.entry.text.size() + 1 >= window.length) {
            record.after.window = window.length;
        }
    }
    if (record.entry.truncated) {
        note(truncationNote(record.entry));
    }
    if (!mPosition.id.empty()) {
        // Named by an older state: the identity it gave, for the rest of it.
        record.key = mPosition.id;
        record.key += ':';
        record.key += std::to_string(record.entry.offset);
    } else {
        recordKey(record.key, mPosition.print, record.entry.endCrc, record.entry.offset);
    }
}

} // namespace zorvlog
