#include "follow/GenerationMark.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace zorvlog {

namespace {

std::uint64_t mix(std::uint64_t hash, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        hash = (hash ^ ((value >> (8 * i)) & 0xff)) * 1099511628211ull;
    }
    return hash;
}

std::uint32_t crcOf(const char* data, std::size_t size) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

} // namespace

Fingerprint fingerprintOf(const LogInput::Line& first) {
    const std::size_t taken = std::min<std::size_t>(first.text.size(), LogInput::kHead);
    const bool withLf =
        taken < LogInput::kHead && !first.cut && first.end == first.offset + first.text.size() + 1;
    std::uint64_t hash = 14695981039346656037ull;
    for (std::size_t i = 0; i < taken; ++i) {
        hash = (hash ^ static_cast<unsigned char>(first.text[i])) * 1099511628211ull;
    }
    if (withLf) {
        hash = (hash ^ '\n') * 1099511628211ull;
    }
    Fingerprint out;
    out.print = hash;
    out.length = static_cast<std::uint32_t>(taken + (withLf ? 1 : 0));
    return out;
}

bool readFingerprint(int fd, Fingerprint& out, const std::function<bool()>& stopping) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const int own = ::open(link, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    LogInput input;
    input.keepChecksums(false);
    if (own < 0 || !input.open(own)) {
        return false;
    }
    LogInput::Line line;
    LogInput::Status status;
    while ((status = input.next(line)) == LogInput::kMore) {
        if (stopping && stopping()) {
            return false;
        }
    }
    if (status != LogInput::kLine) {
        return false;
    }
    out = fingerprintOf(line);
    return out.length > 0;
}

LineWindow windowOf(const LogInput::Line& line) {
    LineWindow window;
    window.end = line.end;
    if (!line.cut && line.end == line.offset + line.text.size() + 1) {
        window.length = static_cast<std::uint32_t>(std::min(line.text.size() + 1, kWindow));
    }
    return window;
}

std::uint32_t windowCrc(const char* bytes, std::size_t size) {
    return crcOf(bytes, size);
}

bool windowHolds(int fd, std::uint64_t offset, std::uint32_t window, std::uint32_t crc) {
    char bytes[kWindow];
    if (window == 0 || window > kWindow || offset < window) {
        return false;
    }
    return ::pread(fd, bytes, window, static_cast<off_t>(offset - window)) ==
               static_cast<ssize_t>(window) &&
           crcOf(bytes, window) == crc;
}

void recordKey(std::string& key, std::uint64_t print, std::uint32_t endCrc, std::uint64_t offset) {
    // Made by hand: one key per record handed out.
    static const char kDigits[] = "0123456789abcdef";
    const std::uint64_t hash = mix(mix(14695981039346656037ull, print, 8), endCrc, 4);
    char text[40];
    for (int i = 0; i < 16; ++i) {
        text[i] = kDigits[(hash >> (60 - 4 * i)) & 0xf];
    }
    text[16] = ':';
    char decimal[20];
    int n = 0;
    do {
        decimal[n++] = static_cast<char>('0' + offset % 10);
        offset /= 10;
    } while (offset != 0);
    for (int i = 0; i < n; ++i) {
        text[17 + i] = decimal[n - 1 - i];
    }
    key.assign(text, static_cast<std::size_t>(17 + n));
}

} // namespace zorvlog
