#include "read/BackwardReader.h"

#include "read/RecordGrouper.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace zorvlog {

namespace {

const std::size_t kBlock = 64 * 1024;
// Enough of a line's start to tell whether it starts with a section.
const std::size_t kSectionBytes = 128;
// The data ranges of a sparse file kept for looking back (a megabyte).
const std::size_t kMaxRanges = 64 * 1024;

} // namespace

BackwardReader::BackwardReader(int fd, std::uint64_t size, LogInput::ZerosSeen zeros,
                               std::size_t firstPiece)
    : mFd(fd), mSize(size), mZeros(std::move(zeros)), mFirstPiece(firstPiece) {}

BackwardReader::~BackwardReader() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

// The block of the file that holds the byte at offset.
bool BackwardReader::block(std::uint64_t offset) {
    if (!mBlock.empty() && offset >= mBlockAt && offset < mBlockAt + mBlock.size()) {
        return true;
    }
    mBlockAt = offset - offset % kBlock;
    mBlock.resize(kBlock);
    const ssize_t n = ::pread(mFd, mBlock.data(), kBlock, static_cast<off_t>(mBlockAt));
    if (n <= 0 || mBlockAt + static_cast<std::uint64_t>(n) <= offset) {
        mError = n < 0 ? std::strerror(errno) : "the file became shorter while it was read";
        mBlock.clear();
        return false;
    }
    mBlock.resize(static_cast<std::size_t>(n));
    return true;
}

std::uint64_t BackwardReader::dataEnd(std::uint64_t offset) {
    if (!mMapped) {
        mMapped = true;
        std::uint64_t at = 0;
        while (at < mSize) {
            const off_t data = ::lseek(mFd, static_cast<off_t>(at), SEEK_DATA);
            if (data < 0 || mData.size() == kMaxRanges) {
                // ENXIO: no data after at. Else the holes are not known (or
                // too many to keep): the rest is taken for data.
                if (data >= 0 || errno != ENXIO) {
                    mData.emplace_back(at, mSize);
                }
                break;
            }
            const off_t hole = ::lseek(mFd, data, SEEK_HOLE);
            const std::uint64_t end =
                hole < 0 ? mSize : std::min(static_cast<std::uint64_t>(hole), mSize);
            if (end <= static_cast<std::uint64_t>(data)) {
                mData.emplace_back(static_cast<std::uint64_t>(data), mSize);
                break;
            }
            mData.emplace_back(static_cast<std::uint64_t>(data), end);
            at = end;
        }
    }
    // The last range that starts before offset.
    auto after =
        std::upper_bound(mData.begin(), mData.end(), offset,
                         [](std::uint64_t at, const auto& range) { return at <= range.first; });
    return after == mData.begin() ? 0 : std::min(offset, std::prev(after)->second);
}

bool BackwardReader::lineStart(std::uint64_t offset, std::uint64_t& start) {
    while ((offset = dataEnd(offset)) > 0) {
        if (!block(offset - 1)) {
            return false;
        }
        const std::size_t before = static_cast<std::size_t>(offset - mBlockAt);
        const void* lf = ::memrchr(mBlock.data(), '\n', before);
        if (lf != nullptr) {
            start = mBlockAt +
                    static_cast<std::size_t>(static_cast<const char*>(lf) - mBlock.data()) + 1;
            return true;
        }
        offset = mBlockAt;
    }
    start = 0;
    return true;
}

bool BackwardReader::contextStart(std::uint64_t start, std::uint64_t& from) {
    from = start;
    for (std::size_t sections = 0; from > 0 && sections < RecordGrouper::kContext;) {
        if (!lineStart(from - 1, from)) {
            return false;
        }
        char head[kSectionBytes];
        const ssize_t n = ::pread(mFd, head, sizeof head, static_cast<off_t>(from));
        if (n < 0) {
            mError = std::strerror(errno);
            return false;
        }
        const std::string_view line(head, static_cast<std::size_t>(n));
        sections += startsWithSection(line.substr(0, line.find('\n'))) ? 1 : 0;
    }
    return true;
}

bool BackwardReader::group(std::uint64_t from, std::uint64_t start, std::uint64_t end) {
    mPieceCount = 0;
    const int fd = ::dup(mFd);
    LogInput input;
    input.keepChecksums(false);
    if (fd < 0 || !input.openAt(fd, from, [&](std::uint64_t offset, std::uint64_t length) {
            if (mZeros && offset >= start && offset < end) {
                mZeros(offset, length);
            }
        })) {
        mError = fd < 0 ? std::strerror(errno) : input.error();
        return false;
    }
    bool done = false;
    RecordGrouper grouper(
        [&](LogEntry& entry) {
            done = done || entry.offset >= end;
            if (done || entry.offset < start) {
                return;
            }
            if (mPieceCount == mPiece.size()) {
                mPiece.emplace_back();
            }
            std::swap(mPiece[mPieceCount++], entry);
        },
        0);
    LogInput::Line line;
    LogInput::Status status = LogInput::kMore;
    while (!done && (status = input.next(line)) != LogInput::kEnd && status != LogInput::kError) {
        if (status == LogInput::kLine) {
            grouper.addLine(line);
        }
    }
    if (status == LogInput::kError) {
        mError = input.error();
        return false;
    }
    while (!done && input.rest(line)) {
        grouper.addLine(line); // a torn last line
    }
    if (!done) {
        grouper.finish();
    }
    return true;
}

bool BackwardReader::read(const Sink& sink) {
    std::uint64_t end = mSize;
    std::size_t piece = mFirstPiece;
    while (end > 0) {
        std::uint64_t start = 0, from = 0;
        if (!lineStart(end > piece ? end - piece : 0, start) || !contextStart(start, from) ||
            !group(from, start, end)) {
            return false;
        }
        for (std::size_t i = mPieceCount; i-- > 0;) {
            if (!sink(mPiece[i])) {
                return true;
            }
            mPiece[i].reset();
            // A long record's buffer is not kept for the pieces after it.
            if (mPiece[i].text.capacity() > kBlock) {
                std::string().swap(mPiece[i].text);
            }
        }
        end = start;
        piece = std::max(std::min(2 * piece, kMaxPiece), piece);
    }
    return true;
}

} // namespace zorvlog
