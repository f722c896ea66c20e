#include "PeerHarness.h"

#include <zorv/ZorvLogger.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvpeers {

std::string debugLogDirectory(const std::string& debugPath) {
    const std::string::size_type slash = debugPath.rfind('/');
    if (slash == std::string::npos) {
        std::fprintf(stderr, "the debug logger has no file in a directory: '%s'\n",
                     debugPath.c_str());
        std::exit(1);
    }
    return debugPath.substr(0, slash);
}

const char* const kMessage = "cache refreshed after 12 entries expired";
const char* const kComponent = "ZorvCore";

namespace {

// A child that has been released must never come back into the benchmark
// or test framework that forked it: it leaves through _exit only.
[[noreturn]] void childExit(int status) {
    ::_exit(status);
}

bool readByte(int fd) {
    char c;
    for (;;) {
        ssize_t n = ::read(fd, &c, 1);
        if (n >= 0) {
            return n == 1;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// A child stuck in its setup must not hang the whole run.
constexpr int kReadyTimeoutMs = 60000;

} // namespace

bool floorWriteCheckingTail(const std::string& path, const std::string& bytes) {
    const int flags = O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags | O_NOATIME, 0644);
    if (fd < 0 && errno == EPERM) {
        fd = ::open(path.c_str(), flags, 0644); // O_NOATIME is for the owner only
    }
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    off_t size = ::lseek(fd, 0, SEEK_END);
    char last = '\n';
    if (size < 0 || (size > 0 && ::pread(fd, &last, 1, size - 1) != 1)) {
        ok = false;
    } else if (last != '\n') {
        ok = ::write(fd, "\n", 1) == 1;
    }
    ok = ok && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && ok;
}

SharedRobustMutex::SharedRobustMutex() {
    void* area = ::mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        return;
    }
    pthread_mutexattr_t attr;
    ::pthread_mutexattr_init(&attr);
    ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    mMutex = static_cast<pthread_mutex_t*>(area);
    if (::pthread_mutex_init(mMutex, &attr) != 0) {
        ::munmap(area, sizeof(pthread_mutex_t));
        mMutex = nullptr;
    }
    ::pthread_mutexattr_destroy(&attr);
}

SharedRobustMutex::~SharedRobustMutex() {
    if (mMutex != nullptr) {
        // Not destroyed: a forked child may still map it; unmapping our view
        // is all this process may do.
        ::munmap(mMutex, sizeof(pthread_mutex_t));
    }
}

bool SharedRobustMutex::lock() {
    int rc = ::pthread_mutex_lock(mMutex);
    if (rc == EOWNERDEAD) {
        // The holder died; what it guarded is a file of whole writes, so
        // there is nothing to repair beyond marking the mutex usable.
        return ::pthread_mutex_consistent(mMutex) == 0;
    }
    return rc == 0;
}

void SharedRobustMutex::unlock() {
    ::pthread_mutex_unlock(mMutex);
}

bool lockedFloorWrite(SharedRobustMutex& mutex, const std::string& path, const std::string& bytes) {
    if (!mutex.lock()) {
        return false;
    }
    bool ok = bench::appendOnce(path, bytes);
    mutex.unlock();
    return ok;
}

bool lockedFloorTailWrite(SharedRobustMutex& mutex, const std::string& path,
                          const std::string& bytes) {
    if (!mutex.lock()) {
        return false;
    }
    bool ok = floorWriteCheckingTail(path, bytes);
    mutex.unlock();
    return ok;
}

ThreeLineRecord::ThreeLineRecord() : ZorvLoggable(TStr("")) {}

void ThreeLineRecord::dumpTechSupport(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    logger->mLogFile.write(TStr("Component"), TStr(kComponent));
    logger->mLogFile.write(TStr("Operation"), TStr("refresh"));
    logger->mLogFile.write(TStr("Result"), TStr(kMessage));
}

FlagTestLogger::~FlagTestLogger() = default;

void FlagTestLogger::log(ZorvLoggable* record) {
    if (record != nullptr && mEnabled) {
        ++mWritten;
    }
}

std::string readAll(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rbe");
    if (f == nullptr) {
        return text;
    }
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(f);
    return text;
}

bool truncateFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    return ::close(fd) == 0;
}

std::string captureBytes(const std::string& path, const std::function<void()>& logOnce) {
    if (!truncateFile(path)) {
        return std::string();
    }
    logOnce();
    return readAll(path);
}

bool isComparisonLine(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab = line.find('\t'); tab != std::string::npos;
         tab = line.find('\t', start)) {
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    // Five fields, each followed by a tab, and nothing after the last tab.
    if (fields.size() != 5 || start != line.size()) {
        return false;
    }
    const std::string& pid = fields[0];
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::string& date = fields[1];
    const std::string& time = fields[2];
    return date.size() == 10 && date[4] == '/' && date[7] == '/' && time.size() >= 8 &&
           time[2] == ':' && time[5] == ':' && fields[3] == kComponent && fields[4] == kMessage;
}

LineCount countLines(const std::string& path, const std::function<bool(const std::string&)>& ok) {
    LineCount count;
    std::string text = readAll(path);
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        ++count.lines;
        if (!ok(text.substr(start, lf - start))) {
            ++count.malformed;
        }
        start = lf + 1;
    }
    count.torn = start != text.size();
    return count;
}

ProcessRound runProcessRound(int processes, long perProcess, const std::function<Writer()>& setup) {
    ProcessRound round;
    int ready[2];
    int go[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        return round;
    }
    if (::pipe2(go, O_CLOEXEC) != 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        return round;
    }
    std::fflush(nullptr); // nothing buffered may be written twice
    std::vector<pid_t> children;
    for (int i = 0; i < processes; ++i) {
        pid_t pid = ::fork();
        if (pid < 0) {
            break;
        }
        if (pid == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            int status = 0;
            try {
                Writer writer = setup();
                if (!writer) {
                    childExit(3);
                }
                char c = 'r';
                if (::write(ready[1], &c, 1) != 1) {
                    childExit(4);
                }
                ::close(ready[1]);
                // The parent closes its end to release every child at once:
                // each read here ends in end-of-file.
                char dummy;
                while (::read(go[0], &dummy, 1) < 0 && errno == EINTR) {
                }
                for (long n = 0; n < perProcess; ++n) {
                    if (!writer()) {
                        status = 5;
                    }
                }
            } catch (...) {
                status = 6;
            }
            childExit(status);
        }
        children.push_back(pid);
    }
    ::close(ready[1]);
    ::close(go[0]);

    // Wait until every child is ready; a child that died in its setup closes
    // its end of the pipe, so a short count shows up as end-of-file.
    int readyCount = 0;
    while (readyCount < static_cast<int>(children.size())) {
        struct pollfd pfd = {ready[0], POLLIN, 0};
        int rc = ::poll(&pfd, 1, kReadyTimeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0 || !readByte(ready[0])) {
            break;
        }
        ++readyCount;
    }
    ::close(ready[0]);
    bool allReady = readyCount == processes && static_cast<int>(children.size()) == processes;
    if (!allReady) {
        for (pid_t pid : children) {
            ::kill(pid, SIGKILL);
        }
    }

    Clock::time_point start = Clock::now();
    ::close(go[1]);
    bool allExitedWell = true;
    for (pid_t pid : children) {
        int status = 0;
        struct rusage usage = {};
        while (::wait4(pid, &status, 0, &usage) < 0) {
            if (errno != EINTR) {
                allExitedWell = false;
                break;
            }
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            allExitedWell = false;
        }
        round.cpuSeconds +=
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    round.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    round.ok = allReady && allExitedWell;
    round.records = round.ok ? processes * perProcess : 0;
    return round;
}

double threadCpuNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

Rotation::Rotation(std::vector<std::function<void()>> contenders)
    : mContenders(std::move(contenders)), mTotalNs(mContenders.size(), 0.0),
      mTotalCpuNs(mContenders.size(), 0.0) {
    // The thread's CPU clock is a system call, not a read of the vDSO: what
    // one bracket of it costs is measured here and taken off every call.
    std::vector<double> brackets;
    for (int i = 0; i < 201; ++i) {
        double start = threadCpuNs();
        brackets.push_back(threadCpuNs() - start);
    }
    std::nth_element(brackets.begin(), brackets.begin() + 100, brackets.end());
    mCpuClockNs = brackets[100];
}

void Rotation::round() {
    std::size_t n = mContenders.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = (static_cast<std::size_t>(mRounds) + k) % n;
        double cpuStart = threadCpuNs();
        Clock::time_point start = Clock::now();
        mContenders[i]();
        Clock::time_point end = Clock::now();
        mTotalCpuNs[i] += threadCpuNs() - cpuStart;
        mTotalNs[i] += std::chrono::duration<double, std::nano>(end - start).count();
    }
    ++mRounds;
}

double Rotation::meanNs(std::size_t i) const {
    return mRounds > 0 ? mTotalNs[i] / static_cast<double>(mRounds) : 0.0;
}

double Rotation::meanCpuNs(std::size_t i) const {
    if (mRounds == 0) {
        return 0.0;
    }
    double mean = mTotalCpuNs[i] / static_cast<double>(mRounds) - mCpuClockNs;
    return mean > 0.0 ? mean : 0.0;
}

} // namespace zorvpeers
