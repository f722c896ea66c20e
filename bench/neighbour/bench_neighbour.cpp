// How often a record lands on a line a neighbour is still writing: another
// program appends to the same log without the lock, one byte per write(2),
// while this one writes records. The record looks at the file's last byte
// once, at its first line, and starts a line of its own when the file ends
// inside one; a byte the neighbour writes after that look and before the
// record's single write glues the record onto the neighbour's line. No writer
// can close that window: the neighbour takes no lock.
//
// bench_neighbour DEBUG ERRORS: writes that many debug records, then that
// many error records (each to a log of its own, beside its own neighbour),
// and prints for each kind "<kind> glued N of M": how many of the records
// found in the file did not start a line.

#include <zorv/ErrorLog.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
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

// Runs write count times beside a neighbour on path, after one record
// written alone (which makes the file), and says how the records' first
// lines (those holding marker) begin.
void measure(const char* kind, const std::string& path, const char* marker, long count,
             const std::function<void()>& write) {
    write();
    const pid_t child = ::fork();
    if (child == 0) {
        neighbour(path);
    }
    for (long i = 0; i < count; ++i) {
        write();
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    std::FILE* in = std::fopen(path.c_str(), "r");
    if (in == nullptr) {
        return;
    }
    const std::string ours = std::to_string(::getpid()) + "\t";
    long glued = 0, found = -1; // the first record was written alone
    char* text = nullptr;
    std::size_t room = 0;
    ssize_t n;
    while ((n = ::getline(&text, &room, in)) > 0) {
        const std::string line(text, static_cast<std::size_t>(n));
        if (line.find(marker) != std::string::npos) {
            ++found;
            glued += line.compare(0, ours.size(), ours) != 0;
        }
    }
    std::free(text);
    std::fclose(in);
    std::printf("%s glued %ld of %ld\n", kind, glued, found);
}

} // namespace

int main(int argc, char** argv) {
    const long debugCount = argc > 1 ? std::atol(argv[1]) : 6000;
    const long errorCount = argc > 2 ? std::atol(argv[2]) : 800;
    ::setenv(ZorvDebugLogger::ZORV_DEBUG_MODE, "1", 1);
    ZorvDebugLogger debug;
    debug.startLogging();
    const std::string debugPath = debug.getLogFileName().bytes();
    measure("debug", debugPath, "\trecord\t", debugCount, [&] {
        ZorvDebugLog record(Zorv::kZorvQet, TStr("record"));
        debug.log(record);
    });

    const std::string errorPath = debugPath.substr(0, debugPath.rfind('/')) + "/error.log";
    ZorvLogger errors{TStr(errorPath.c_str())};
    errors.startLogging();
    ZorvErrorBase error{Zorv::kBrakka, 42, TStr("/src/net/Client.cpp"), 120, TStr("11.4")};
    measure("error", errorPath, "\tReason=", errorCount, [&] { errors.log(&error); });
    return 0;
}
