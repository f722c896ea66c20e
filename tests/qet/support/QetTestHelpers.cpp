#include "QetTestHelpers.h"

#include "support/TestSupport.h"

#include <qet/QETPipeFrame.h>

#include <QApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
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
}

long scaled(long small, long full) {
    const char* text = std::getenv("ZORV_STRESS_SCALE");
    const long scale = text != nullptr && std::atol(text) > 1 ? std::atol(text) : 1;
    return std::min(full, small * scale);
}

bool spinUntil(const std::function<bool()>& cond, int timeoutMs) {
    return zorvtest::eventually(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, kPollStepMs);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return cond();
        },
        timeoutMs);
}

void ensureApplication() {
    static int argc = 1;
    static char name[] = "qet_tests";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static QApplication app(argc, argv);
    }
}

bool serving(zorvtest::ChildProcess& qet, const std::string& socket) {
    zorvtest::eventually([&] { return !qet.running() || RawClient(socket).isConnected(); });
    return RawClient(socket).isConnected();
}

int stop(zorvtest::ChildProcess& qet, int sig) {
    qet.kill(sig);
    const int status = qet.wait(kWaitMs);
    EXPECT_GE(status, 0) << "QET did not end: " << qet.output();
    return status;
}

RawClient::RawClient(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    mFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mFd >= 0 && ::connect(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
    }
    if (mFd >= 0) {
        ::fcntl(mFd, F_SETFL, ::fcntl(mFd, F_GETFL) | O_NONBLOCK);
    }
}

void RawClient::close() {
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

void RawClient::shutdownWrite() {
    ::shutdown(mFd, SHUT_WR);
}

bool RawClient::ready(short events, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p = {mFd, events, 0};
    return left > 0 && (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000))) >= 0 ||
                        errno == EINTR);
}

bool RawClient::sendBytes(const std::string& bytes, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        done += n > 0 ? size_t(n) : 0;
        if (n <= 0 && ((n < 0 && errno != EAGAIN && errno != EINTR) || !ready(POLLOUT, deadline))) {
            return false;
        }
    }
    return true;
}

bool RawClient::readBytes(size_t n, std::string* out, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    out->clear();
    char buffer[65536];
    while (out->size() < n) {
        const ssize_t got = ::recv(mFd, buffer, std::min(sizeof buffer, n - out->size()), 0);
        out->append(buffer, got > 0 ? size_t(got) : 0);
        if (got == 0 ||
            (got < 0 && ((errno != EAGAIN && errno != EINTR) || !ready(POLLIN, deadline)))) {
            return false;
        }
    }
    return true;
}

bool RawClient::closedWithin(int timeoutMs, std::string* extra) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(mFd, buffer, sizeof buffer, 0);
        if (got > 0 && extra != nullptr) {
            extra->append(buffer, size_t(got));
        }
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return true; // end of stream, or reset: the server is done with us
        }
        if (got < 0 && !ready(POLLIN, deadline)) {
            return false;
        }
    }
}

std::string requestFrame(const std::vector<std::string>& arguments) {
    QStringList list;
    for (const std::string& a : arguments) {
        list.append(QString::fromStdString(a));
    }
    return QETPipeFrame::encodeRequest(list).toStdString();
}

std::string handledAcknowledgement() {
    return QETPipeFrame::encodeAcknowledgement(QETPipeFrame::kStatusHandled).toStdString();
}

std::vector<std::string> qetDebugMessages(const std::string& debugLogPath) {
    std::vector<std::string> messages;
    for (const std::string& line : zorvtest::splitLines(zorvtest::readFile(debugLogPath))) {
        // pid, date, time, component, message, each followed by a tab
        std::vector<std::string> fields = zorvtest::splitFields(line, '\t');
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
    return ::lstat(path.c_str(), &st) == 0 ? int(st.st_mode) : -1;
}

bool isSocket(const std::string& path) {
    return S_ISSOCK(fileMode(path)) && fileMode(path) != -1;
}

} // namespace qettest
