#include "read/LogInput.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace zorvlog {

namespace {

const std::size_t kBlock = 64 * 1024;
// A line that grows beyond this is gathered outside the buffer (up to
// kMaxLine), so the buffer itself stays small.
const std::size_t kLongLine = 4 * kBlock;
// Input read in one call before it returns kMore: a few milliseconds.
const std::size_t kWorkPerCall = 8u << 20;

// Whether data starting with this byte may be compressed in a format whose
// magic is longer than gzip's.
bool mayHaveLongerMagic(unsigned char first) {
    return first == 0xfd || first == 0x28 || first == 'B';
}

// The CRC-32 of `length` zero bytes, made from those of 2^k zero bytes, so a
// hole of any size costs a few dozen steps.
uLong zerosCrc(std::uint64_t length) {
    static const std::vector<uLong> powers = [] {
        std::vector<uLong> crcs(63);
        const Bytef zero = 0;
        crcs[0] = crc32(0, &zero, 1);
        for (std::size_t k = 1; k < crcs.size(); ++k) {
            crcs[k] = crc32_combine(crcs[k - 1], crcs[k - 1], z_off_t(1) << (k - 1));
        }
        return crcs;
    }();
    uLong crc = 0;
    for (std::size_t k = 0; k < powers.size() && (length >> k) != 0; ++k) {
        if (((length >> k) & 1) != 0) {
            crc = crc32_combine(crc, powers[k], z_off_t(1) << k);
        }
    }
    return crc;
}

} // namespace

std::string LogInput::zerosSkipped(std::uint64_t offset, std::uint64_t length) {
    return std::to_string(length) + " zero bytes at byte " + std::to_string(offset) + " skipped";
}

LogInput::~LogInput() {
    close();
}

void LogInput::close() {
    mDecompressor.reset();
    if (mOwnFd && mFd >= 0) {
        ::close(mFd);
    }
    mFd = -1;
}

bool LogInput::open(const std::string& path, ZerosSeen zeros) {
    if (path == "-") {
        const bool opened = open(0, std::move(zeros));
        mOwnFd = false;
        return opened;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        mError = std::strerror(errno);
        return false;
    }
    return open(fd, std::move(zeros));
}

bool LogInput::open(int fd, ZerosSeen zeros) {
    close();
    mFd = fd;
    mOwnFd = true;
    mZerosSeen = std::move(zeros);
    mRaw.resize(kBlock);
    struct stat st;
    mSeekable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const off_t at = mSeekable ? ::lseek(fd, 0, SEEK_CUR) : 0;
    mRawPos = at > 0 ? static_cast<std::uint64_t>(at) : 0;
    return fill() || mError.empty();
}

bool LogInput::openAt(int fd, std::uint64_t offset, ZerosSeen zeros) {
    close();
    mFd = fd;
    mOwnFd = true;
    mZerosSeen = std::move(zeros);
    mRaw.resize(kBlock);
    mSeekable = true;
    mKnown = true;
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        mError = std::strerror(errno);
        return false;
    }
    mRawPos = mOffset = offset;
    return fill() || mError.empty();
}

bool LogInput::reopenAt(std::uint64_t offset, std::uint32_t crcBefore, std::uint32_t headCrc) {
    const int fd = mFd;
    mOwnFd = false; // kept open by close(), taken again below
    ZerosSeen zeros = std::move(mZerosSeen);
    mBuffer.clear();
    mZeros.clear();
    mStart = mScanned = 0;
    releaseBuffer(mLong);
    mInLong = mLongCut = false;
    mRawStart = mRawEnd = 0;
    mTail.clear();
    mError.clear();
    mCrc = crcBefore;
    mHeadCrc = headCrc;
    return openAt(fd, offset, std::move(zeros));
}

LogInput::Status LogInput::next(Line& line) {
    mWork = 0;
    for (;;) {
        if (takeLine(line, false)) {
            return kLine;
        }
        if (mWork >= kWorkPerCall) {
            return kMore;
        }
        if (!fill()) {
            return mError.empty() ? kEnd : kError;
        }
    }
}

bool LogInput::rest(Line& line) {
    if (mLetGo) {
        // What was let go comes back first: the lines whole by now, then
        // the rest.
        mLetGo = false;
        do {
            if (takeLine(line, false)) {
                mLetGo = false;
                return true;
            }
        } while (fill());
    }
    return takeLine(line, true);
}

bool LogInput::letGo() {
    if (!mSeekable || mCompressed || !mZeros.empty() || mRawStart != mRawEnd || !mError.empty()) {
        return false;
    }
    const std::uint64_t from = mInLong ? mLongOffset : mOffset;
    if (::lseek(mFd, static_cast<off_t>(from), SEEK_SET) < 0) {
        return false;
    }
    if (mInLong) {
        mInLong = false;
        mOffset = mLongOffset;
        mCrc = mLongCrc;
        mHeadCrc = mLongHeadCrc;
        mTail = mLongTail;
        releaseBuffer(mLong);
    }
    // What was read from the file: a size beyond it is new data, also
    // when it came between the last read and now.
    mLetGoSize = mRawPos;
    releaseBuffer(mBuffer);
    std::vector<unsigned char>().swap(mRaw);
    mStart = mScanned = 0;
    mRawPos = mOffset;
    mLetGo = true;
    return true;
}

// The next line's end is the first LF, or the first run of zero bytes; a
// run at the start of a line ends nothing and is taken on its own, once
// what follows it shows how long it is.
bool LogInput::takeLine(Line& line, bool final) {
    for (;;) {
        const std::size_t limit = mZeros.empty() ? mBuffer.size() : mZeros.front().pos;
        const char* from = mBuffer.data() + mStart + mScanned;
        const void* lf = std::memchr(from, '\n', limit - mStart - mScanned);
        if (lf != nullptr) {
            deliver(line, static_cast<std::size_t>(static_cast<const char*>(lf) - from) + mScanned,
                    1);
            return true;
        }
        mScanned = limit - mStart;
        if (!mZeros.empty()) {
            if (limit > mStart || mInLong) {
                deliver(line, limit - mStart, 0);
                return true;
            }
            if (limit == mBuffer.size() && !final) {
                return false;
            }
            consumeZeros(true);
            continue;
        }
        if (mInLong || mBuffer.size() - mStart > kLongLine) {
            toLong();
        }
        if (final && (mInLong || mStart < mBuffer.size())) {
            deliver(line, mBuffer.size() - mStart, 0);
            return true;
        }
        return false;
    }
}

// The buffer of a long line grows by doubling, but never past kMaxLine: a
// line of 15 MiB then takes 16 MiB, not the 20 MiB that doubling from its
// first piece would give, and that for each record held.
void LogInput::appendLong(std::size_t n) {
    const std::size_t needed = mLong.size() + n;
    if (needed > mLong.capacity()) {
        // Made anew: reserve() on the string itself would double past it.
        std::string grown;
        grown.reserve(std::min(kMaxLine, std::max(needed, 2 * mLong.capacity())));
        grown += mLong;
        mLong.swap(grown);
    }
    mLong.append(mBuffer, mStart, n);
}

void LogInput::deliver(Line& line, std::size_t length, std::size_t lineEnd) {
    if (mInLong) {
        const std::size_t room = kMaxLine - mLong.size();
        appendLong(std::min(length, room));
        line.cut = mLongCut || length > room;
        line.text = std::move(mLong);
        releaseBuffer(mLong);
        line.offset = mLongOffset;
        mInLong = false;
    } else {
        line.text.assign(mBuffer, mStart, length);
        line.cut = false;
        line.offset = mOffset;
    }
    consume(length + lineEnd);
    line.end = mOffset;
    line.crc = mCrc;
}

// Moves what is buffered of an overlong line out of the buffer, keeping no
// more than kMaxLine of it.
void LogInput::toLong() {
    if (!mInLong) {
        mInLong = true;
        mLongOffset = mOffset;
        mLongCut = false;
        mLongCrc = mCrc;
        mLongHeadCrc = mHeadCrc;
        mLongTail = mTail;
    }
    const std::size_t n = mBuffer.size() - mStart;
    const std::size_t room = kMaxLine - mLong.size();
    appendLong(std::min(n, room));
    mLongCut = mLongCut || n > room;
    consume(n);
}

void LogInput::consume(std::size_t n) {
    if (mChecksums) {
        addCrc(mBuffer.data() + mStart, n);
        addTail(mBuffer.data() + mStart, n);
    }
    mStart += n;
    mOffset += n;
    mScanned = 0;
}

void LogInput::consumeZeros(bool report) {
    const Zeros zeros = mZeros.front();
    mZeros.pop_front();
    const std::uint64_t at = mOffset;
    addZerosCrc(zeros.length);
    mOffset += zeros.length;
    if (report && mZerosSeen) {
        mZerosSeen(at, zeros.length);
    }
}

LogInput::Status LogInput::advance(std::uint64_t offset) {
    mWork = 0;
    for (;;) {
        while (mOffset < offset) {
            if (!mZeros.empty() && mZeros.front().pos == mStart) {
                Zeros& zeros = mZeros.front();
                if (mOffset + zeros.length <= offset) {
                    consumeZeros(false);
                    continue;
                }
                const std::uint64_t part = offset - mOffset;
                addZerosCrc(part);
                mOffset += part;
                zeros.length -= part;
                break;
            }
            const std::size_t limit = mZeros.empty() ? mBuffer.size() : mZeros.front().pos;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(limit - mStart, offset - mOffset));
            if (n == 0) {
                break;
            }
            consume(n);
        }
        if (mOffset == offset) {
            return kLine;
        }
        if (mWork >= kWorkPerCall) {
            return kMore;
        }
        if (!fill()) {
            return mError.empty() ? kEnd : kError;
        }
    }
}

std::string LogInput::peek(std::size_t n, const std::function<bool(const std::string&)>& enough) {
    mWork = 0;
    for (;;) {
        std::string out;
        std::size_t at = mStart;
        for (const Zeros& zeros : mZeros) {
            out.append(mBuffer, at, zeros.pos - at);
            out += '\n';
            at = zeros.pos;
        }
        out.append(mBuffer, at, std::string::npos);
        if (out.size() >= n || enough(out) || mWork >= kWorkPerCall || !fill()) {
            out.resize(std::min(n, out.size()));
            return out;
        }
    }
}

void LogInput::addCrc(const char* data, std::size_t size) {
    if (mOffset < kHead && mOffset + size >= kHead) {
        const std::size_t head = static_cast<std::size_t>(kHead - mOffset);
        mCrc = static_cast<std::uint32_t>(
            crc32(mCrc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(head)));
        mHeadCrc = mCrc;
        data += head;
        size -= head;
    }
    mCrc = static_cast<std::uint32_t>(
        crc32(mCrc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

void LogInput::addTail(const char* data, std::size_t size) {
    if (size >= kTail) {
        mTail.assign(data + size - kTail, kTail);
        return;
    }
    mTail.append(data, size);
    if (mTail.size() > kTail) {
        mTail.erase(0, mTail.size() - kTail);
    }
}

void LogInput::addZerosCrc(std::uint64_t length) {
    if (!mChecksums) {
        return;
    }
    const std::string zeros(static_cast<std::size_t>(std::min<std::uint64_t>(length, kTail)), '\0');
    addTail(zeros.data(), zeros.size());
    if (mOffset < kHead && mOffset + length >= kHead) {
        const std::uint64_t head = kHead - mOffset;
        mCrc = static_cast<std::uint32_t>(
            crc32_combine(mCrc, zerosCrc(head), static_cast<z_off_t>(head)));
        mHeadCrc = mCrc;
        length -= head;
    }
    mCrc = static_cast<std::uint32_t>(
        crc32_combine(mCrc, zerosCrc(length), static_cast<z_off_t>(length)));
}

bool LogInput::readRaw() {
    if (mRaw.empty()) {
        mRaw.resize(kBlock);
    }
    if (mRawStart == mRawEnd) {
        mRawStart = mRawEnd = 0;
    } else if (mRawEnd == mRaw.size()) {
        std::memmove(mRaw.data(), mRaw.data() + mRawStart, mRawEnd - mRawStart);
        mRawEnd -= mRawStart;
        mRawStart = 0;
    }
    for (;;) {
        ssize_t n = ::read(mFd, mRaw.data() + mRawEnd, mRaw.size() - mRawEnd);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            mError = std::strerror(errno);
            return false;
        }
        mRawEnd += static_cast<std::size_t>(n);
        mRawPos += static_cast<std::uint64_t>(n);
        return n > 0;
    }
}

bool LogInput::rawAtLeast(std::size_t n) {
    while (mRawEnd - mRawStart < n) {
        if (!readRaw()) {
            return false;
        }
    }
    return true;
}

bool LogInput::fill() {
    if (mLetGo) {
        struct stat st;
        if (::fstat(mFd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == mLetGoSize) {
            return false;
        }
        mLetGo = false;
    }
    if (mStart > 0) {
        mBuffer.erase(0, mStart);
        for (Zeros& zeros : mZeros) {
            zeros.pos -= mStart;
        }
        mStart = 0;
    }
    const std::size_t before = mBuffer.size();
    const std::uint64_t zerosBefore = mZeros.empty() ? 0 : mZeros.back().length;
    const std::size_t runsBefore = mZeros.size();
    if (!mKnown) {
        if (!rawAtLeast(2) && (mRawEnd == mRawStart || !mError.empty())) {
            return false; // nothing yet: decided when the first bytes come
        }
        // A pipe is not waited on for more than gzip's magic unless the
        // first byte may start a longer one.
        if (mayHaveLongerMagic(mRaw[mRawStart])) {
            rawAtLeast(Decompressor::kMagicBytes);
        }
        mKnown = true;
        mDecompressor = Decompressor::forData(mRaw.data() + mRawStart, mRawEnd - mRawStart);
        mCompressed = mDecompressor != nullptr;
    }
    if (mCompressed) {
        decompressSome();
    } else {
        if (mRawStart == mRawEnd && mSeekable) {
            // A hole of a sparse file is passed over without reading it. A
            // hole at the end reads as zero bytes: data may be written there.
            const off_t data = ::lseek(mFd, static_cast<off_t>(mRawPos), SEEK_DATA);
            if (data > static_cast<off_t>(mRawPos)) {
                appendZeros(static_cast<std::uint64_t>(data) - mRawPos);
                mRawPos = static_cast<std::uint64_t>(data);
            }
        }
        if (mRawStart < mRawEnd || readRaw()) {
            append(reinterpret_cast<const char*>(mRaw.data() + mRawStart), mRawEnd - mRawStart);
            mRawStart = mRawEnd = 0;
        }
    }
    return mBuffer.size() != before || mZeros.size() != runsBefore ||
           (!mZeros.empty() && mZeros.back().length != zerosBefore);
}

void LogInput::append(const char* data, std::size_t size) {
    mWork += size;
    while (size > 0) {
        const void* zero = std::memchr(data, '\0', size);
        const std::size_t text =
            zero == nullptr ? size
                            : static_cast<std::size_t>(static_cast<const char*>(zero) - data);
        mBuffer.append(data, text);
        data += text;
        size -= text;
        std::size_t run = 0;
        while (run < size && data[run] == '\0') {
            ++run;
        }
        if (run > 0) {
            appendZeros(run);
        }
        data += run;
        size -= run;
    }
}

void LogInput::appendZeros(std::uint64_t length) {
    if (!mZeros.empty() && mZeros.back().pos == mBuffer.size()) {
        mZeros.back().length += length;
    } else {
        mZeros.push_back(Zeros{mBuffer.size(), length});
    }
}

void LogInput::decompressSome() {
    unsigned char out[kBlock];
    while (!mStreamEnded && mError.empty()) {
        if (mRawStart == mRawEnd && !readRaw()) {
            return; // more may come, or the caller finds the stream cut short
        }
        std::size_t used = 0, made = 0;
        const Decompressor::Step step = mDecompressor->run(
            mRaw.data() + mRawStart, mRawEnd - mRawStart, &used, out, sizeof out, &made);
        mRawStart += used;
        append(reinterpret_cast<const char*>(out), made);
        if (step == Decompressor::kStreamEnd) {
            // Streams may follow one another (files concatenated).
            const std::size_t magic = mDecompressor->magicBytes();
            if (rawAtLeast(magic) &&
                mDecompressor->startsAnother(mRaw.data() + mRawStart, mRawEnd - mRawStart)) {
                continue;
            }
            if (!mDecompressor->error().empty()) {
                mError = mDecompressor->error();
            } else if (mRawStart == mRawEnd && mError.empty()) {
                mStreamEnded = true;
            } else if (mError.empty()) {
                mError = "data after the end of the compressed stream";
            }
        } else if (step == Decompressor::kFailed) {
            mError = mDecompressor->error();
        }
        if (made > 0) {
            return;
        }
    }
}

bool LogInput::complete() const {
    return !mCompressed || mStreamEnded;
}

} // namespace zorvlog
