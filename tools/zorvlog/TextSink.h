#ifndef ZORVLOG_TEXTSINK_H
#define ZORVLOG_TEXTSINK_H

#include <cstddef>
#include <string>

namespace zorvlog {

// Where parse and follow print to: text gathers in a buffer and is written
// out whenever a block has gathered, so that what one record prints (up to
// 16 MiB of values, several times that once escaped) is never in memory
// whole.
class TextSink {
public:
    static constexpr std::size_t kBlock = 64 * 1024;

    virtual ~TextSink() = default;

    std::string& buffer() { return mBuffer; }
    // Writes out what has gathered once it is a block or more.
    void spill() {
        if (mBuffer.size() >= kBlock) {
            flush();
        }
    }
    void flush() {
        if (!mBuffer.empty()) {
            write(mBuffer.data(), mBuffer.size());
            mBuffer.clear();
        }
    }

    // Appends `size` bytes of text through `escape(out, data, size)` in
    // slices, spilling after each; a slice never ends inside a UTF-8
    // sequence.
    template <typename Escape>
    void appendEscaped(const char* data, std::size_t size, Escape escape) {
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
    std::string mBuffer;
};

} // namespace zorvlog

#endif
