#include "QetStressSupport.h"

#include "support/TestSupport.h"

#include <qet/QETPipeFrame.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qetstress {

QetProcess::QetProcess(const std::string& outputFile, long descriptorLimit)
    : mOutputFile(outputFile) {
    mPid = ::fork();
    if (mPid == 0) {
        const struct rlimit limit = {rlim_t(descriptorLimit), rlim_t(descriptorLimit)};
        if (descriptorLimit > 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            ::_exit(126);
        }
        int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        ::execl(QET_BINARY, QET_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (mPid < 0) {
        mReaped = true;
    }
}

QetProcess::~QetProcess() {
    if (!mReaped) {
        ::kill(mPid, SIGKILL);
        ::waitpid(mPid, nullptr, 0);
    }
}

void QetProcess::signal(int sig) {
    if (!mReaped) {
        ::kill(mPid, sig);
    }
}

bool QetProcess::waitForExit(int timeoutMs, int* status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!mReaped) {
        int raw = 0;
        const pid_t r = ::waitpid(mPid, &raw, WNOHANG);
        if (r == mPid) {
            mReaped = true;
            mStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if ((r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    *status = mStatus;
    return true;
}

std::string QetProcess::output() const {
    return zorvtest::readFile(mOutputFile);
}

long QetProcess::statusKb(const char* field) const {
    const std::string status = zorvtest::readFile("/proc/" + std::to_string(mPid) + "/status");
    const std::string key = "\n" + std::string(field) + ":";
    const std::size_t at = status.find(key);
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + key.size());
}

std::string handledAcknowledgement() {
    const QByteArray frame = QETPipeFrame::encodeAcknowledgement(QETPipeFrame::kStatusHandled);
    return std::string(frame.constData(), static_cast<std::size_t>(frame.size()));
}

bool isSocket(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace qetstress
