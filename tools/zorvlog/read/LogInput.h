#ifndef ZORVLOG_LOGINPUT_H
#define ZORVLOG_LOGINPUT_H

#include "read/Decompressor.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <zlib.h>

namespace zorvlog {

// Lets go of a string's buffer. Assigning an empty string would not: the
// standard library keeps the capacity when the string assigned is short.
inline void releaseBuffer(std::string& text) {
    std::string().swap(text);
}

// The bytes of a log, line by line, from a plain file, a pipe or a file
// compressed with gzip, xz, zstd or bzip2 (known by its magic bytes, whatever
// its name; several streams one after the other read as one). Offsets count the uncompressed bytes,
// and the CRC-32 of everything read so far is kept, so that a reader can recognise the file again
// later (renamed, compressed, or a copy).
//
// What a crash or a power loss leaves never stalls it and never costs
// memory: a run of zero bytes (written, or a hole of a sparse file, which is
// passed over without reading it) ends the line before it and is reported
// once through ZerosSeen; a line longer than kMaxLine keeps its first
// kMaxLine bytes (Line::cut) and the rest is read past. So memory stays
// bounded by kMaxLine whatever the input, and every call does a bounded
// amount of work (kMore: call again), so that a caller can answer a signal.
//
// A file that grows is read further by calling next() again after it said
// kEnd; the bytes after the last line's end wait for theirs.
class LogInput {
public:
    enum Status { kLine, kEnd, kMore, kError };

    struct Line {
        std::string text;
        std::uint64_t offset = 0; // of its first byte
        std::uint64_t end = 0;    // after it: its LF, or the zero bytes that end it
        std::uint32_t crc = 0;    // CRC-32 of the bytes before end
        bool cut = false;         // longer than kMaxLine: text holds its start
    };

    // A run of zero bytes at offset, once it has been read past.
    using ZerosSeen = std::function<void(std::uint64_t offset, std::uint64_t length)>;
    // Such a run, in words.
    static std::string zerosSkipped(std::uint64_t offset, std::uint64_t length);

    static constexpr std::size_t kMaxLine = 16u << 20;
    // The start of the input whose CRC-32 headCrc() gives.
    static constexpr std::uint64_t kHead = 4096;

    LogInput() = default;
    ~LogInput();
    LogInput(const LogInput&) = delete;
    LogInput& operator=(const LogInput&) = delete;

    // Whether the CRC-32s and the tail are kept (the default): a reader that
    // never recognises the file again (parse) reads faster without them.
    void keepChecksums(bool keep) { mChecksums = keep; }

    // Takes the descriptor (closed with the object), which must stand at the
    // start of the input. False, with error() set, when it cannot be read.
    bool open(int fd, ZerosSeen zeros = nullptr);
    // A file by name, "-" for standard input (which stays open).
    bool open(const std::string& path, ZerosSeen zeros = nullptr);
    // Takes the descriptor of a regular file of plain text and reads it from
    // `offset` on (which must start a line), offsets counted from the file's
    // start.
    bool openAt(int fd, std::uint64_t offset, ZerosSeen zeros = nullptr);
    // Of a plain file: reads it from `offset` on (which must start a line)
    // as if what comes before had been read, with these CRC-32s, whatever
    // was read so far.
    bool reopenAt(std::uint64_t offset, std::uint32_t crcBefore, std::uint32_t headCrc);

    // The next line without its LF.
    Status next(Line& line);
    // What follows the last line's end (a torn last line, a run of zero
    // bytes), when the input is finished; false when nothing does.
    bool rest(Line& line);
    // Reads and drops what comes before `offset`: kLine once there, kEnd
    // when the input ends first.
    Status advance(std::uint64_t offset);
    // Up to n bytes from where reading stands, without taking them, a run of
    // zero bytes shown as a LF; fewer once `enough` says they do (a pipe is
    // not waited on for more than it takes).
    std::string peek(std::size_t n, const std::function<bool(const std::string&)>& enough);

    // The memory its buffers take, most of it what is read of a line not
    // yet whole.
    std::size_t held() const { return mBuffer.capacity() + mLong.capacity() + mRaw.capacity(); }
    // Lets go of the buffers and of what is read of a line not yet whole:
    // those bytes stay in the file and are read again once it has grown (or
    // by rest()), so an input idle at the end of a plain file holds next to
    // nothing. False, with nothing let go, for input that cannot be read
    // again (a pipe, compressed data) or holds zero bytes not yet reported.
    bool letGo();

    // Whether a compressed stream was read to its end (a plain one always
    // is): at the end of the input, false means it was cut short.
    bool complete() const;
    bool compressed() const { return mCompressed; }
    // A regular file, whose bytes can be read again at any offset.
    bool seekable() const { return mSeekable; }
    int fd() const { return mFd; }
    // Why the input cannot be read (any more).
    const std::string& error() const { return mError; }
    // How far reading stands, and the CRC-32 of the bytes before that.
    std::uint64_t offset() const { return mOffset; }
    std::uint32_t crc() const { return mCrc; }
    // The CRC-32 of the first min(offset(), kHead) bytes.
    std::uint32_t headCrc() const { return mOffset >= kHead ? mHeadCrc : mCrc; }
    // The last bytes before offset() (kTail at most).
    const std::string& tail() const { return mTail; }
    static constexpr std::size_t kTail = 64;

private:
    // Zero bytes that stood before mBuffer[pos].
    struct Zeros {
        std::size_t pos;
        std::uint64_t length;
    };

    bool takeLine(Line& line, bool final);
    void deliver(Line& line, std::size_t length, std::size_t lineEnd);
    void consume(std::size_t n);
    void consumeZeros(bool report);
    void appendLong(std::size_t n);
    void toLong();
    // Reads some more into mBuffer; false at the end for now, or on an error.
    bool fill();
    void append(const char* data, std::size_t size);
    void appendZeros(std::uint64_t length);
    void decompressSome();
    bool readRaw();
    bool rawAtLeast(std::size_t n);
    void addCrc(const char* data, std::size_t size);
    void addZerosCrc(std::uint64_t length);
    void addTail(const char* data, std::size_t size);
    void close();

    int mFd = -1;
    bool mOwnFd = false;
    bool mKnown = false; // whether the stream is known to be plain or compressed
    bool mCompressed = false;
    bool mSeekable = false;
    bool mStreamEnded = false; // the compressed stream ended and no member follows
    ZerosSeen mZerosSeen;
    std::unique_ptr<Decompressor> mDecompressor;
    std::vector<unsigned char> mRaw;
    std::size_t mRawStart = 0, mRawEnd = 0;
    std::uint64_t mRawPos = 0; // file offset of the next raw read
    std::string mBuffer;       // no zero byte in it: runs are in mZeros
    std::deque<Zeros> mZeros;
    std::size_t mStart = 0;   // first byte not yet taken
    std::size_t mScanned = 0; // bytes from mStart known to hold no LF
    std::string mLong;        // the start of a line too long to buffer whole
    bool mInLong = false;
    std::uint64_t mLongOffset = 0;
    bool mLongCut = false;
    std::uint64_t mOffset = 0; // offset of mBuffer[mStart]
    bool mChecksums = true;
    std::uint32_t mCrc = 0, mHeadCrc = 0;
    std::string mTail;
    std::size_t mWork = 0; // bytes read in this call
    // Let go (letGo()) with this much of the file read: nothing new to read
    // until it is larger (or smaller: emptied in place).
    bool mLetGo = false;
    std::uint64_t mLetGoSize = 0;
    // How things stood where the long line being read began.
    std::uint32_t mLongCrc = 0, mLongHeadCrc = 0;
    std::string mLongTail;
    std::string mError;
};

} // namespace zorvlog

#endif
