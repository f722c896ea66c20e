#ifndef ZORVLOG_TEXTSINK_H
#define ZORVLOG_TEXTSINK_H

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace zorvlog {

// Text being made for the output: appends that the compiler inlines (a
// record's row or JSON object is made of dozens of small pieces).
class TextBuffer {
public:
    void append(const char* data, std::size_t size) {
        if (size > mStorage.size() - mSize) {
            grow(size);
        }
        copy(mStorage.data() + mSize, data, size);
        mSize += size;
    }
    // Copies size bytes. Most pieces of a row are a few bytes long: those
    // are moved in two overlapping words rather than through a call.
    static void copy(char* to, const char* from, std::size_t size) {
        if (size > 16) {
            std::memcpy(to, from, size);
        } else if (size >= 8) {
            copyEnds<std::uint64_t>(to, from, size);
        } else if (size >= 4) {
            copyEnds<std::uint32_t>(to, from, size);
        } else if (size > 0) {
            to[0] = from[0];
            to[size / 2] = from[size / 2];
            to[size - 1] = from[size - 1];
        }
    }
    void append(std::size_t count, char c) {
        if (count > mStorage.size() - mSize) {
            grow(count);
        }
        std::memset(mStorage.data() + mSize, c, count);
        mSize += count;
    }
    TextBuffer& operator+=(std::string_view text) {
        append(text.data(), text.size());
        return *this;
    }
    TextBuffer& operator+=(char c) {
        if (mSize == mStorage.size()) {
            grow(1);
        }
        mStorage[mSize++] = c;
        return *this;
    }
    // Appends the number in decimal.
    void appendDecimal(std::uint64_t value) {
        constexpr std::size_t kDigits = 20;
        if (kDigits > mStorage.size() - mSize) {
            grow(kDigits);
        }
        char* at = mStorage.data() + mSize;
        mSize += static_cast<std::size_t>(std::to_chars(at, at + kDigits, value).ptr - at);
    }
    // Appends n bytes for the caller to write, returned.
    char* extend(std::size_t n) {
        if (n > mStorage.size() - mSize) {
            grow(n);
        }
        char* at = mStorage.data() + mSize;
        mSize += n;
        return at;
    }
    std::size_t size() const { return mSize; }
    const char* data() const { return mStorage.data(); }
    std::string_view view() const { return {mStorage.data(), mSize}; }
    void clear() { mSize = 0; }

private:
    // The first and the last word of `size` bytes (at most two words).
    template <typename Word> static void copyEnds(char* to, const char* from, std::size_t size) {
        Word first, last;
        std::memcpy(&first, from, sizeof first);
        std::memcpy(&last, from + size - sizeof last, sizeof last);
        std::memcpy(to, &first, sizeof first);
        std::memcpy(to + size - sizeof last, &last, sizeof last);
    }
    void grow(std::size_t more) { mStorage.resize(std::max(2 * mStorage.size(), mSize + more)); }

    std::vector<char> mStorage;
    std::size_t mSize = 0;
};

// Where parse and follow print to: text gathers in a buffer and is written
// out whenever a block has gathered, so that what one record prints (up to
// 16 MiB of values, several times that once escaped) is never in memory
// whole.
class TextSink {
public:
    static constexpr std::size_t kBlock = 64 * 1024;

    virtual ~TextSink() = default;

    TextBuffer& buffer() { return mBuffer; }
    // Writes out what has gathered once it is a block or more.
    void spill() {
        if (mBuffer.size() >= kBlock) {
            flush();
        }
    }
    void flush() {
        if (mBuffer.size() > 0) {
            write(mBuffer.data(), mBuffer.size());
            mBuffer.clear();
        }
    }

    // Appends `size` bytes of text through `escape(out, data, size)` in
    // slices, spilling after each; a slice never ends inside a UTF-8
    // sequence.
    template <typename Escape>
    void appendEscaped(const char* data, std::size_t size, Escape escape) {
        if (size < kBlock) {
            escape(mBuffer, data, size);
            return;
        }
        while (size > 0) {
            std::size_t slice = size < kBlock ? size : kBlock;
            for (std::size_t back = 0; back < 3 && slice < size && slice > 1 &&
                                       (static_cast<unsigned char>(data[slice]) & 0xc0) == 0x80;
                 ++back) {
                --slice;
            }
            escape(mBuffer, data, slice);
            spill();
            data += slice;
            size -= slice;
        }
    }

protected:
    virtual void write(const char* data, std::size_t size) = 0;

private:
    TextBuffer mBuffer;
};

// Text gathered into a string the caller owns: a batch for standard output,
// a message for a collector.
class StringSink : public TextSink {
public:
    explicit StringSink(std::string& to) : mTo(to) {}

protected:
    void write(const char* data, std::size_t size) override { mTo.append(data, size); }

private:
    std::string& mTo;
};

} // namespace zorvlog

#endif
