#include "QetTestHelpers.h"

#include "support/TestSupport.h"

#include <qet/QETPipeFrame.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qettest {

namespace {
constexpr int kPollStepMs = 10;

int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}
} // namespace

bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cond()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return cond();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile,
                           const std::vector<std::pair<std::string, std::string>>& env)
    : mPid(-1), mReaped(false), mOutputFile(outputFile) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    mPid = ::fork();
    if (mPid == 0) {
        for (const auto& kv : env) {
            ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (mPid > 0 && !mReaped) {
        ::kill(mPid, SIGKILL);
        int status = 0;
        ::waitpid(mPid, &status, 0);
    }
}

void ChildProcess::signal(int sig) {
    if (mPid > 0 && !mReaped) {
        ::kill(mPid, sig);
    }
}

bool ChildProcess::waitForExit(int timeoutMs, int* status) {
    if (mPid <= 0 || mReaped) {
        return false;
    }
    int raw = 0;
    const bool done = waitFor(
        [&] {
            pid_t got = ::waitpid(mPid, &raw, WNOHANG);
            return got == mPid;
        },
        timeoutMs);
    if (done) {
        mReaped = true;
        if (status != nullptr) {
            *status = decodeStatus(raw);
        }
    }
    return done;
}

std::string ChildProcess::output() const {
    return zorvtest::readFile(mOutputFile);
}

RawClient::RawClient(const std::string& path) : mFd(-1) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return;
    }
    mFd = fd;
}

RawClient::~RawClient() {
    close();
}

void RawClient::close() {
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

bool RawClient::sendBytes(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::readBytes(size_t n, std::string* out, int timeoutMs) {
    out->clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out->size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd p = {mFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got = ::recv(mFd, buffer, std::min(sizeof buffer, n - out->size()), 0);
        if (got <= 0) {
            return false;
        }
        out->append(buffer, static_cast<size_t>(got));
    }
    return true;
}

bool RawClient::waitForClose(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd p = {mFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t got = ::recv(mFd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
}

bool RawClient::isClosedByPeer() {
    for (;;) {
        pollfd p = {mFd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) {
            return false;
        }
        char buffer[4096];
        ssize_t got = ::recv(mFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
        if (got < 0) {
            return false;
        }
    }
}

void ensureApplication() {
    if (QCoreApplication::instance() != nullptr) {
        return;
    }
    static int argc = 1;
    static char name[] = "qet_tests";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(argc, argv);
}

bool spinUntil(const std::function<bool()>& cond, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!cond()) {
        if (clock.elapsed() > timeoutMs) {
            return cond();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollStepMs);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string requestFrame(const std::vector<std::string>& arguments) {
    QStringList list;
    for (const std::string& a : arguments) {
        list.append(QString::fromStdString(a));
    }
    const QByteArray frame = QETPipeFrame::encodeRequest(list);
    return std::string(frame.constData(), static_cast<size_t>(frame.size()));
}

std::string handledAcknowledgement() {
    const QByteArray frame = QETPipeFrame::encodeAcknowledgement(0);
    return std::string(frame.constData(), static_cast<size_t>(frame.size()));
}

std::vector<std::string> qetDebugMessages(const std::string& debugLogPath) {
    std::vector<std::string> messages;
    for (const std::string& line : zorvtest::splitLines(zorvtest::readFile(debugLogPath))) {
        std::vector<std::string> fields = zorvtest::splitFields(line, '\t');
        // pid, date, time, component, message, and the empty piece after the
        // last tab.
        if (fields.size() >= 5 && fields[3] == "ZorvQet") {
            messages.push_back(fields[4]);
        }
    }
    return messages;
}

std::vector<int> errorCodes(const std::string& logPath) {
    std::vector<int> codes;
    const std::string key = "VendorError=";
    for (const std::string& line : zorvtest::splitLines(zorvtest::readFile(logPath))) {
        const std::string::size_type at = line.find(key);
        if (at != std::string::npos) {
            codes.push_back(std::atoi(line.c_str() + at + key.size()));
        }
    }
    return codes;
}

int fileMode(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<int>(st.st_mode & 07777);
}

bool isSocket(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

} // namespace qettest
