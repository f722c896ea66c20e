#include "support/CapturedProcess.h"

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace zorvtest {

CapturedProcess runCaptured(const std::vector<std::string>& argv, const std::string& input) {
    TempDir dir;
    const std::string in = dir.file("stdin"), out = dir.file("stdout"), err = dir.file("stderr");
    writeFile(in, input);
    // Close-on-exec here; the copies the child gets as 0, 1 and 2 stay open.
    const int fdIn = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int fdErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid =
        fdIn < 0 || fdOut < 0 || fdErr < 0 ? -1 : spawnProcess(argv, fdIn, fdOut, fdErr);
    for (int fd : {fdIn, fdOut, fdErr}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start " + (argv.empty() ? std::string() : argv[0]));
    }
    CapturedProcess result;
    result.status = waitProcess(pid, &result.peakKb);
    result.out = readFile(out);
    result.err = readFile(err);
    return result;
}

} // namespace zorvtest
