// How often a record lands on a line a neighbour is still writing: another
// program appends to the same log without the lock, one byte per write(2),
// while this one writes debug records. The record looks at the file's last
// byte once, at its first line, and starts a line of its own when the file
// ends inside one; a byte the neighbour writes after that look and before the
// record's single write glues the record onto the neighbour's line. No writer
// can close that window: the neighbour takes no lock.
//
// bench_neighbour RECORDS: prints "records glued" (how many of ours did not
// start a line) and "records found".

#include <zorv/ErrorLog.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Writes lines of 40 bytes, one byte per write, until killed.
[[noreturn]] void neighbour(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        ::_exit(2);
    }
    const std::string line = "neighbour writes this line bytewise...\n";
    for (;;) {
        for (char c : line) {
            if (::write(fd, &c, 1) != 1) {
                ::_exit(3);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const long records = argc > 1 ? std::atol(argv[1]) : 6000;
    ::setenv(ZorvDebugLogger::ZORV_DEBUG_MODE, "1", 1);
    ZorvDebugLogger logger;
    logger.startLogging();
    const std::string path = logger.getLogFileName().bytes();
    {
        ZorvDebugLog first(Zorv::kZorvQet, TStr("record -1"));
        logger.log(first);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        neighbour(path);
    }
    for (long i = 0; i < records; ++i) {
        ZorvDebugLog record(Zorv::kZorvQet, TStr(("record " + std::to_string(i)).c_str()));
        logger.log(record);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    std::FILE* in = std::fopen(path.c_str(), "r");
    if (in == nullptr) {
        return 1;
    }
    const std::string ours = std::to_string(::getpid()) + "\t";
    long glued = 0, found = 0;
    char* text = nullptr;
    std::size_t room = 0;
    ssize_t n;
    while ((n = ::getline(&text, &room, in)) > 0) {
        const std::string line(text, static_cast<std::size_t>(n));
        if (line.find("\trecord ") == std::string::npos ||
            line.find("\trecord -1") != std::string::npos) {
            continue;
        }
        ++found;
        glued += line.compare(0, ours.size(), ours) != 0;
    }
    std::free(text);
    std::fclose(in);
    std::printf("records glued %ld\nrecords found %ld\n", glued, found);
    return 0;
}
