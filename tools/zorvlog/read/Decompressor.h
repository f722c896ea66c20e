#ifndef ZORVLOG_DECOMPRESSOR_H
#define ZORVLOG_DECOMPRESSOR_H

#include <cstddef>
#include <memory>
#include <string>

namespace zorvlog {

// One compressed format a rotated log may be stored in (gzip, xz, zstd,
// bzip2), known by the magic bytes it starts with, whatever the file's name.
// Every format may hold several streams one after the other (what
// concatenating two compressed files gives); they read as one.
class Decompressor {
public:
    enum Step {
        kProgress,  // went on: call again with more input or room
        kStreamEnd, // one stream is whole; another may follow
        kFailed     // not valid data: error() says why
    };

    // The bytes needed to tell every format apart.
    static constexpr std::size_t kMagicBytes = 10;

    // The decompressor for data that starts with `bytes`, or none when it
    // is not compressed in a format known here (plain text).
    static std::unique_ptr<Decompressor> forData(const unsigned char* bytes, std::size_t size);

    virtual ~Decompressor() = default;

    // Decompresses from `in` into `out`; *used and *made say how many bytes
    // were taken and given.
    virtual Step run(const unsigned char* in, std::size_t inSize, std::size_t* used,
                     unsigned char* out, std::size_t outSize, std::size_t* made) = 0;
    // Whether `bytes` start another stream of this format; if so the
    // decompressor is made ready for it.
    bool startsAnother(const unsigned char* bytes, std::size_t size);
    // The bytes startsAnother() needs.
    virtual std::size_t magicBytes() const = 0;

    // The format's name, for messages.
    virtual const char* format() const = 0;
    const std::string& error() const { return mError; }

protected:
    virtual bool matches(const unsigned char* bytes, std::size_t size) const = 0;
    // Ready for a new stream; false, with error() set, when it cannot be.
    virtual bool restart() = 0;

    std::string mError;
};

} // namespace zorvlog

#endif
