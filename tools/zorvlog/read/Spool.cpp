#include "read/Spool.h"

#include "SystemCalls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace zorvlog {

Spooled spoolUncompressed(int fd) {
    Spooled spooled;
    const char* dir = zorv_detail::environmentValue("TMPDIR");
    std::string path =
        std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/zorvlog-XXXXXX";
    const int copy = ::mkostemp(&path[0], O_CLOEXEC);
    if (copy < 0) {
        ::close(fd);
        spooled.error = "no temporary file to hold it (" + path + "): " + std::strerror(errno);
        return spooled;
    }
    ::unlink(path.c_str());
    // gzread passes input that is not gzip through as it is.
    gzFile in = gzdopen(fd, "rb");
    if (in == nullptr) {
        ::close(fd);
    }
    std::vector<char> buffer(256 * 1024);
    int got = 0;
    while (in != nullptr &&
           (got = gzread(in, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
        if (!zorv_detail::writeAll(copy, buffer.data(), static_cast<std::size_t>(got))) {
            // Without the whole copy, no entry can be put in its place.
            spooled.error = "no room to hold it (" + path + "): " + std::strerror(errno);
            gzclose(in);
            ::close(copy);
            return spooled;
        }
    }
    if (in == nullptr || got < 0) {
        int code = 0;
        const char* why = in == nullptr ? "cannot start decompressing" : gzerror(in, &code);
        spooled.problem = code == Z_BUF_ERROR ? "the compressed data ends early" : why;
    }
    if (in != nullptr) {
        gzclose(in);
    }
    ::lseek(copy, 0, SEEK_SET);
    spooled.fd = copy;
    return spooled;
}

} // namespace zorvlog
