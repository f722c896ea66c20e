#include "LogInput.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace zorvlog {

namespace {

const std::size_t kBlock = 64 * 1024;

bool gzipMagic(const unsigned char* bytes) {
    return bytes[0] == 0x1f && bytes[1] == 0x8b;
}

} // namespace

LogInput::~LogInput() {
    close();
}

void LogInput::close() {
    if (mZActive) {
        inflateEnd(&mZ);
        mZActive = false;
    }
    if (mOwnFd && mFd >= 0) {
        ::close(mFd);
    }
    mFd = -1;
}

bool LogInput::open(const std::string& path) {
    if (path == "-") {
        if (!open(0)) {
            return false;
        }
        mOwnFd = false;
        return true;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        mError = std::strerror(errno);
        return false;
    }
    return open(fd);
}

bool LogInput::open(int fd, std::uint64_t offset) {
    close();
    mFd = fd;
    mOwnFd = true;
    mOffset = offset;
    mRaw.resize(kBlock);
    // Only a stream read from its start can be compressed or binary; a
    // reader that resumes has seen the start.
    mKnown = offset != 0;
    mChecked = offset != 0;
    if (!fill() && !mError.empty()) {
        return false;
    }
    return !mBinary;
}

bool LogInput::readRaw() {
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
    if (mStart > 0) {
        mBuffer.erase(0, mStart);
        mStart = 0;
    }
    if (!mKnown) {
        if (!rawAtLeast(2) && (mRawEnd == mRawStart || !mError.empty())) {
            return false; // nothing yet: decided when the first bytes come
        }
        mKnown = true;
        if (mRawEnd - mRawStart >= 2 && gzipMagic(mRaw.data() + mRawStart)) {
            if (inflateInit2(&mZ, 16 + MAX_WBITS) != Z_OK) {
                mError = "cannot start decompressing";
                return false;
            }
            mZActive = true;
            mCompressed = true;
        }
    }
    const std::size_t before = mBuffer.size();
    if (mCompressed) {
        inflateSome();
    } else if (mRawStart < mRawEnd || readRaw()) {
        mBuffer.append(reinterpret_cast<const char*>(mRaw.data() + mRawStart), mRawEnd - mRawStart);
        mRawStart = mRawEnd = 0;
    }
    if (mBuffer.size() == before) {
        return false;
    }
    if (!mChecked) {
        mChecked = true;
        if (std::memchr(mBuffer.data() + before, '\0', mBuffer.size() - before) != nullptr) {
            mBinary = true;
            mError = "binary data (a NUL byte in its first block), not a log";
            mBuffer.clear();
            return false;
        }
    }
    return true;
}

void LogInput::inflateSome() {
    unsigned char out[kBlock];
    while (!mStreamEnded && mError.empty()) {
        if (mRawStart == mRawEnd && !readRaw()) {
            return; // more may come, or the caller finds the stream cut short
        }
        mZ.next_in = mRaw.data() + mRawStart;
        mZ.avail_in = static_cast<uInt>(mRawEnd - mRawStart);
        mZ.next_out = out;
        mZ.avail_out = sizeof out;
        int ret = inflate(&mZ, Z_NO_FLUSH);
        mRawStart = mRawEnd - mZ.avail_in;
        std::size_t produced = sizeof out - mZ.avail_out;
        mBuffer.append(reinterpret_cast<const char*>(out), produced);
        if (ret == Z_STREAM_END) {
            // gzip may hold several members one after the other.
            if (rawAtLeast(2) && gzipMagic(mRaw.data() + mRawStart)) {
                inflateReset(&mZ);
            } else if (mRawStart == mRawEnd && mError.empty()) {
                mStreamEnded = true;
            } else if (mError.empty()) {
                mError = "data after the end of the compressed stream";
            }
        } else if (ret != Z_OK && ret != Z_BUF_ERROR) {
            mError = std::string("not valid gzip data: ") + (mZ.msg != nullptr ? mZ.msg : "?");
        }
        if (produced > 0) {
            return;
        }
    }
}

bool LogInput::complete() const {
    return !mCompressed || mStreamEnded;
}

LogInput::Status LogInput::next(std::string& line, std::uint64_t& offset) {
    for (;;) {
        const char* from = mBuffer.data() + mStart + mScanned;
        const void* lf = std::memchr(from, '\n', mBuffer.size() - mStart - mScanned);
        if (lf != nullptr) {
            std::size_t length = static_cast<const char*>(lf) - (mBuffer.data() + mStart);
            line.assign(mBuffer, mStart, length);
            offset = mOffset;
            mStart += length + 1;
            mOffset += length + 1;
            mScanned = 0;
            return kLine;
        }
        mScanned = mBuffer.size() - mStart;
        if (!fill()) {
            return mError.empty() ? kEnd : kError;
        }
    }
}

bool LogInput::rest(std::string& line, std::uint64_t& offset) {
    if (mStart == mBuffer.size()) {
        return false;
    }
    line.assign(mBuffer, mStart, std::string::npos);
    offset = mOffset;
    mOffset += line.size();
    mStart = mBuffer.size();
    mScanned = 0;
    return true;
}

bool LogInput::skip(std::uint64_t n, std::uint32_t& crc) {
    while (n > 0) {
        std::size_t available = mBuffer.size() - mStart;
        if (available == 0) {
            if (!fill()) {
                return false;
            }
            continue;
        }
        std::size_t k = available < n ? available : static_cast<std::size_t>(n);
        crc = static_cast<std::uint32_t>(crc32(
            crc, reinterpret_cast<const Bytef*>(mBuffer.data() + mStart), static_cast<uInt>(k)));
        mStart += k;
        mOffset += k;
        n -= k;
        mScanned = 0;
    }
    return true;
}

} // namespace zorvlog
