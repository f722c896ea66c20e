#ifndef ZORVLOG_LOGINPUT_H
#define ZORVLOG_LOGINPUT_H

#include <cstdint>
#include <string>
#include <vector>
#include <zlib.h>

namespace zorvlog {

// The bytes of a log, line by line, from a plain file, a pipe or a gzip file
// (known by its magic bytes, whatever its name; several members one after the
// other read as one). Only the line being read is held, so memory is bounded
// by the longest line. Offsets count the uncompressed bytes.
//
// Input whose first block holds a NUL byte is not a log (a core file, an
// image, a compressed format we do not read) and is refused. A NUL further on
// (a block of zeros a crash can leave in a file) stays part of its line.
//
// A file that grows is read further by calling next() again after it said
// kEnd; the bytes after the last LF wait for theirs.
class LogInput {
public:
    enum Status { kLine, kEnd, kError };

    LogInput() = default;
    ~LogInput();
    LogInput(const LogInput&) = delete;
    LogInput& operator=(const LogInput&) = delete;

    // Takes the descriptor (closed with the object). `offset` is where the
    // descriptor stands, for the offsets reported; a compressed stream must
    // start at its beginning. False, with error() set, for binary input or
    // when it cannot be read.
    bool open(int fd, std::uint64_t offset = 0);
    // A file by name, "-" for standard input (which stays open).
    bool open(const std::string& path);

    // The next whole line without its LF, and the offset of its first byte.
    Status next(std::string& line, std::uint64_t& offset);
    // What follows the last LF (a torn last line); false when nothing does.
    bool rest(std::string& line, std::uint64_t& offset);
    // Reads and drops the next n bytes, adding them to the CRC-32 in crc;
    // false when the input ends (or fails) first.
    bool skip(std::uint64_t n, std::uint32_t& crc);

    // Whether a compressed stream was read to its end (a plain one always
    // is): at the end of the input, false means it was cut short.
    bool complete() const;
    bool compressed() const { return mCompressed; }
    int fd() const { return mFd; }
    bool binary() const { return mBinary; }
    // Why the input cannot be read (any more).
    const std::string& error() const { return mError; }
    // The offset up to which whole lines have been handed out.
    std::uint64_t offset() const { return mOffset; }

private:
    // Appends what can be read now to mBuffer; false at the end for now or
    // on an error.
    bool fill();
    void inflateSome();
    // Reads what is there into mRaw; false at the end for now, or on an error.
    bool readRaw();
    bool rawAtLeast(std::size_t n);
    void close();

    int mFd = -1;
    bool mOwnFd = false;
    bool mCompressed = false;
    bool mKnown = false;   // whether the stream is known to be plain or compressed
    bool mChecked = false; // whether the first block was looked at for NUL bytes
    bool mBinary = false;
    bool mStreamEnded = false; // the compressed stream ended and no member follows
    z_stream mZ{};
    bool mZActive = false;
    std::vector<unsigned char> mRaw;
    std::size_t mRawStart = 0, mRawEnd = 0;
    std::string mBuffer;
    std::size_t mStart = 0;    // first byte not yet handed out
    std::size_t mScanned = 0;  // bytes from mStart known to hold no LF
    std::uint64_t mOffset = 0; // offset of mBuffer[mStart]
    std::string mError;
};

} // namespace zorvlog

#endif
