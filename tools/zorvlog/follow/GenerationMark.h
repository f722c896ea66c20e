#ifndef ZORVLOG_GENERATIONMARK_H
#define ZORVLOG_GENERATIONMARK_H

#include "read/LogInput.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zorvlog {

// What a generation of a followed log is known by, wherever it is met: plain
// or compressed, under any name, by any follower, from its start or from a
// position a state kept.
//
// Its fingerprint is a hash of the first kHead bytes at most of its first
// line, with the line's LF when that is among them: bytes fixed once the
// first record is whole, and the same in a compressed copy, which is read
// uncompressed. A generation whose first line is not whole has none yet.
//
// A position in it is checked by a window: the last bytes (kWindow at most)
// of the line that ends there, with its LF, by their CRC-32.
//
// A record's key hashes the fingerprint and the CRC-32 of every byte from the
// generation's start to the record's end; the record's offset follows it.
// Two records share a key only when their generations hold the same bytes
// from their starts to the records' ends.
struct Fingerprint {
    std::uint64_t print = 0;
    std::uint32_t length = 0; // 0: not known
    bool operator==(const Fingerprint& other) const {
        return print == other.print && length == other.length;
    }
};

// Where a line ends, and how many of the bytes before that are its window (0:
// none, for a line cut short or ended by zero bytes).
struct LineWindow {
    std::uint64_t end = 0;
    std::uint32_t length = 0;
};

constexpr std::size_t kWindow = 64;

// The fingerprint of a generation whose first line this is.
Fingerprint fingerprintOf(const LogInput::Line& first);
// The fingerprint of the file a descriptor is open on, read through a
// description of its own (the descriptor's offset is left alone); false when
// its first line is not whole yet or `stopping` says so.
bool readFingerprint(int fd, Fingerprint& out, const std::function<bool()>& stopping);
// The window of the position after a line.
LineWindow windowOf(const LogInput::Line& line);
// The CRC-32 of a window's bytes.
std::uint32_t windowCrc(const char* bytes, std::size_t size);
// Whether a plain file holds `window` bytes before `offset` whose CRC-32 is
// `crc`.
bool windowHolds(int fd, std::uint64_t offset, std::uint32_t window, std::uint32_t crc);
// A record's key: the hash of the fingerprint and of the CRC-32 of the bytes
// before the record's end, in 16 hex digits, a colon and the offset.
void recordKey(std::string& key, std::uint64_t print, std::uint32_t endCrc, std::uint64_t offset);

} // namespace zorvlog

#endif
