#include "read/Decompressor.h"

#include <bzlib.h>
#include <climits>
#include <cstdint>
#include <cstring>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

namespace zorvlog {

namespace {

// The input or room one call hands a library whose counts are 32 bits.
unsigned int chunk(std::size_t size) {
    return static_cast<unsigned int>(size < UINT_MAX ? size : UINT_MAX);
}

class Gzip final : public Decompressor {
public:
    Gzip() { mActive = inflateInit2(&mZ, 16 + MAX_WBITS) == Z_OK; }
    ~Gzip() override {
        if (mActive) {
            inflateEnd(&mZ);
        }
    }
    Step run(const unsigned char* in, std::size_t inSize, std::size_t* used, unsigned char* out,
             std::size_t outSize, std::size_t* made) override {
        if (!mActive) {
            mError = "cannot start decompressing";
            return kFailed;
        }
        mZ.next_in = const_cast<unsigned char*>(in);
        mZ.avail_in = chunk(inSize);
        mZ.next_out = out;
        mZ.avail_out = chunk(outSize);
        const int ret = inflate(&mZ, Z_NO_FLUSH);
        *used = chunk(inSize) - mZ.avail_in;
        *made = chunk(outSize) - mZ.avail_out;
        if (ret == Z_STREAM_END) {
            return kStreamEnd;
        }
        if (ret != Z_OK && ret != Z_BUF_ERROR) {
            mError = std::string("not valid gzip data: ") + (mZ.msg != nullptr ? mZ.msg : "?");
            return kFailed;
        }
        return kProgress;
    }
    std::size_t magicBytes() const override { return 2; }
    const char* format() const override { return "gzip"; }
    static bool magic(const unsigned char* bytes, std::size_t size) {
        return size >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
    }

protected:
    bool matches(const unsigned char* bytes, std::size_t size) const override {
        return magic(bytes, size);
    }
    bool restart() override { return inflateReset(&mZ) == Z_OK; }

private:
    z_stream mZ{};
    bool mActive = false;
};

class Xz final : public Decompressor {
public:
    Xz() { restart(); }
    ~Xz() override { lzma_end(&mStream); }
    Step run(const unsigned char* in, std::size_t inSize, std::size_t* used, unsigned char* out,
             std::size_t outSize, std::size_t* made) override {
        if (!mError.empty()) {
            return kFailed;
        }
        mStream.next_in = in;
        mStream.avail_in = inSize;
        mStream.next_out = out;
        mStream.avail_out = outSize;
        const lzma_ret ret = lzma_code(&mStream, LZMA_RUN);
        *used = inSize - mStream.avail_in;
        *made = outSize - mStream.avail_out;
        switch (ret) {
        case LZMA_OK:
        case LZMA_BUF_ERROR:
            return kProgress;
        case LZMA_STREAM_END:
            return kStreamEnd;
        case LZMA_MEMLIMIT_ERROR:
            mError = "xz data that needs more than " + std::to_string(kMemoryLimit >> 20) +
                     " MiB to decompress";
            return kFailed;
        case LZMA_OPTIONS_ERROR:
            mError = "xz data with options liblzma does not know";
            return kFailed;
        case LZMA_FORMAT_ERROR:
        case LZMA_DATA_ERROR:
            mError = "not valid xz data: corrupt";
            return kFailed;
        default:
            mError =
                "not valid xz data (liblzma error " + std::to_string(static_cast<int>(ret)) + ")";
            return kFailed;
        }
    }
    std::size_t magicBytes() const override { return 6; }
    const char* format() const override { return "xz"; }
    static bool magic(const unsigned char* bytes, std::size_t size) {
        static const unsigned char kMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0x00};
        return size >= sizeof kMagic && std::memcmp(bytes, kMagic, sizeof kMagic) == 0;
    }

protected:
    bool matches(const unsigned char* bytes, std::size_t size) const override {
        return magic(bytes, size);
    }
    bool restart() override {
        // The decoder takes the stream as it is and reuses its memory.
        if (lzma_stream_decoder(&mStream, kMemoryLimit, 0) != LZMA_OK) {
            mError = "cannot start decompressing xz";
            return false;
        }
        return true;
    }

private:
    // What xz -9 needs is well within it; a hostile header that asks for
    // more is refused instead of taking the machine's memory.
    static constexpr std::uint64_t kMemoryLimit = 256u << 20;
    lzma_stream mStream = LZMA_STREAM_INIT;
};

class Zstd final : public Decompressor {
public:
    Zstd() : mStream(ZSTD_createDStream()) {}
    ~Zstd() override { ZSTD_freeDStream(mStream); }
    Step run(const unsigned char* in, std::size_t inSize, std::size_t* used, unsigned char* out,
             std::size_t outSize, std::size_t* made) override {
        if (mStream == nullptr) {
            mError = "cannot start decompressing zstd";
            return kFailed;
        }
        ZSTD_inBuffer input{in, inSize, 0};
        ZSTD_outBuffer output{out, outSize, 0};
        const std::size_t ret = ZSTD_decompressStream(mStream, &output, &input);
        *used = input.pos;
        *made = output.pos;
        if (ZSTD_isError(ret)) {
            mError = std::string("not valid zstd data: ") + ZSTD_getErrorName(ret);
            return kFailed;
        }
        // Zero: a frame is whole and everything of it given out.
        return ret == 0 ? kStreamEnd : kProgress;
    }
    std::size_t magicBytes() const override { return 4; }
    const char* format() const override { return "zstd"; }
    static bool magic(const unsigned char* bytes, std::size_t size) {
        static const unsigned char kMagic[] = {0x28, 0xb5, 0x2f, 0xfd};
        return size >= sizeof kMagic && std::memcmp(bytes, kMagic, sizeof kMagic) == 0;
    }

protected:
    bool matches(const unsigned char* bytes, std::size_t size) const override {
        return magic(bytes, size);
    }
    bool restart() override {
        return !ZSTD_isError(ZSTD_DCtx_reset(mStream, ZSTD_reset_session_only));
    }

private:
    ZSTD_DStream* mStream;
};

class Bzip2 final : public Decompressor {
public:
    Bzip2() { restart(); }
    ~Bzip2() override { stop(); }
    Step run(const unsigned char* in, std::size_t inSize, std::size_t* used, unsigned char* out,
             std::size_t outSize, std::size_t* made) override {
        if (!mActive) {
            mError = "cannot start decompressing bzip2";
            return kFailed;
        }
        mStream.next_in = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
        mStream.avail_in = chunk(inSize);
        mStream.next_out = reinterpret_cast<char*>(out);
        mStream.avail_out = chunk(outSize);
        const int ret = BZ2_bzDecompress(&mStream);
        *used = chunk(inSize) - mStream.avail_in;
        *made = chunk(outSize) - mStream.avail_out;
        if (ret == BZ_STREAM_END) {
            return kStreamEnd;
        }
        if (ret == BZ_DATA_ERROR || ret == BZ_DATA_ERROR_MAGIC) {
            mError = "not valid bzip2 data: corrupt";
            return kFailed;
        }
        if (ret != BZ_OK) {
            mError = "not valid bzip2 data (libbz2 error " + std::to_string(ret) + ")";
            return kFailed;
        }
        return kProgress;
    }
    std::size_t magicBytes() const override { return 10; }
    const char* format() const override { return "bzip2"; }
    // "BZh", the block size, then the magic of a block or of the stream's
    // end: ten bytes, so that no text is taken for bzip2.
    static bool magic(const unsigned char* bytes, std::size_t size) {
        static const unsigned char kBlock[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
        static const unsigned char kEnd[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
        return size >= 10 && std::memcmp(bytes, "BZh", 3) == 0 && bytes[3] >= '1' &&
               bytes[3] <= '9' &&
               (std::memcmp(bytes + 4, kBlock, 6) == 0 || std::memcmp(bytes + 4, kEnd, 6) == 0);
    }

protected:
    bool matches(const unsigned char* bytes, std::size_t size) const override {
        return magic(bytes, size);
    }
    bool restart() override {
        stop();
        mStream = bz_stream{};
        mActive = BZ2_bzDecompressInit(&mStream, 0, 0) == BZ_OK;
        return mActive;
    }

private:
    void stop() {
        if (mActive) {
            BZ2_bzDecompressEnd(&mStream);
            mActive = false;
        }
    }
    bz_stream mStream{};
    bool mActive = false;
};

} // namespace

std::unique_ptr<Decompressor> Decompressor::forData(const unsigned char* bytes, std::size_t size) {
    if (Gzip::magic(bytes, size)) {
        return std::make_unique<Gzip>();
    }
    if (Xz::magic(bytes, size)) {
        return std::make_unique<Xz>();
    }
    if (Zstd::magic(bytes, size)) {
        return std::make_unique<Zstd>();
    }
    if (Bzip2::magic(bytes, size)) {
        return std::make_unique<Bzip2>();
    }
    return nullptr;
}

bool Decompressor::startsAnother(const unsigned char* bytes, std::size_t size) {
    return matches(bytes, size) && restart();
}

} // namespace zorvlog
