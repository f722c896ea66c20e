// Arbitrary bytes as a log file, read line by line the way parse and follow
// read a generation: plain, or compressed in any of the formats it knows by
// their magic bytes. The decoders meet hostile data here first. Reading must
// end, keep every line within its bound, move forward only, and, for plain
// input, give back exactly the bytes of the file.
#include "read/LogInput.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = ::memfd_create("log", MFD_CLOEXEC);
    if (fd < 0 || (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) ||
        ::lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    zorvlog::LogInput input;
    if (!input.open(fd)) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    zorvlog::LogInput::Line line;
    std::uint64_t end = 0;
    // A reading that never ends is a hang libFuzzer reports by its timeout.
    for (;;) {
        const zorvlog::LogInput::Status status = input.next(line);
        if (status == zorvlog::LogInput::kEnd || status == zorvlog::LogInput::kError) {
            break;
        }
        if (status != zorvlog::LogInput::kLine) {
            continue;
        }
        require(line.offset >= end && line.end > line.offset);
        require(line.text.size() <= zorvlog::LogInput::kMaxLine);
        end = line.end;
        if (!input.compressed() && !line.cut) {
            require(bytes.compare(line.offset, line.text.size(), line.text) == 0);
        }
    }
    if (input.rest(line)) {
        require(line.offset >= end);
    }
    return 0;
}
