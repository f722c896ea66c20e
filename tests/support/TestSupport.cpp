#include "support/TestSupport.h"

#include "support/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zorvtest {

namespace {

bool writeProcFile(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool written =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) {
        ::close(fd);
    }
    return written;
}

// A mount namespace of the calling thread's own: directly as root, else
// inside a user namespace that maps the caller to root.
bool privateMountNamespace() {
    if (::unshare(CLONE_NEWNS) == 0) {
        return true;
    }
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    return ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
           writeProcFile("/proc/self/setgroups", "deny") &&
           writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}
} // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/zorvtest-XXXXXX";
    char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    mPath = made;
}

TempDir::~TempDir() {
    ::nftw(mPath.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : mName(name) {
    const char* old = ::getenv(name.c_str());
    if (old != nullptr) {
        mHad = true;
        mOld = old;
    }
    if (value != nullptr) {
        ::setenv(name.c_str(), value, 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (mHad) {
        ::setenv(mName.c_str(), mOld.c_str(), 1);
    } else {
        ::unsetenv(mName.c_str());
    }
}

IsolatedHome::IsolatedHome()
    : mDataHome("XDG_DATA_HOME", (mDir.path() + "/data").c_str()),
      mRuntime("XDG_RUNTIME_DIR", (mDir.path() + "/run").c_str()),
      mStateHome("XDG_STATE_HOME", (mDir.path() + "/state").c_str()),
      mDataDirs("XDG_DATA_DIRS", (mDir.path() + "/sys").c_str()),
      mHome("HOME", (mDir.path() + "/home").c_str()),
      mNoInstalledData("ZORV_SKIP_INSTALLED_DATA", "1") {
    ::mkdir(runtimeDir().c_str(), 0700);
    ::mkdir(home().c_str(), 0700);
}

FakeUname::FakeUname(const std::string& output, bool noUnameAtAll) : mPath("PATH", nullptr) {
    if (noUnameAtAll) {
        // Only a directory without uname: the shell finds no such command.
        ::setenv("PATH", mDir.path().c_str(), 1);
        return;
    }
    std::string script = mDir.file("uname");
    std::string data = mDir.file("uname.out");
    writeFile(data, output);
    writeFile(script, "#!/bin/sh\nexec /bin/cat '" + data + "'\n");
    ::chmod(script.c_str(), 0755);
    ::setenv("PATH", (mDir.path() + ":/usr/bin:/bin").c_str(), 1);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

long fileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<long>(st.st_size);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> splitFields(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = line.find(separator, start);
        if (end == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
}

int runProcess(const std::vector<std::string>& argv, std::string* output) {
    int fds[2] = {-1, -1};
    if (output != nullptr && ::pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = spawnProcess(argv, -1, fds[1], fds[1]);
    if (output != nullptr) {
        ::close(fds[1]);
        if (pid > 0) {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
                if (n > 0) {
                    output->append(buf, static_cast<std::size_t>(n));
                }
            }
        }
        ::close(fds[0]);
    }
    return pid < 0 ? -1 : waitProcess(pid);
}

std::string selfExe() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return std::string();
    }
    return std::string(buf, static_cast<std::size_t>(n));
}

bool mountTmpfs(const std::string& dir, const std::string& size, std::string* why) {
    if (!privateMountNamespace() ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("no private mount namespace: ") + std::strerror(errno);
        return false;
    }
    ::mkdir(dir.c_str(), 0700);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                ("size=" + size + ",mode=0700").c_str()) != 0) {
        *why = "cannot mount a tmpfs on " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool fillUp(const std::string& dir) {
    const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return fd >= 0;
}

bool mountFullTmpfs(const std::string& dir, std::string* why) {
    return mountTmpfs(dir, "64k", why) && fillUp(dir);
}

bool eventually(const std::function<bool()>& done, int limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

char processState(pid_t id) {
    // "pid (comm) S ...": the command may hold anything, ')' included.
    const std::string stat = readFile("/proc/" + std::to_string(id) + "/stat");
    const std::string::size_type close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

bool sleepsOnFutex(pid_t id) {
    return processState(id) == 'S' &&
           readFile("/proc/" + std::to_string(id) + "/wchan").find("futex") != std::string::npos;
}

bool isOpenInThisProcess(const std::string& path) {
    struct stat target;
    if (::stat(path.c_str(), &target) != 0) {
        return false;
    }
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) {
        return false;
    }
    int own = ::dirfd(fds);
    bool found = false;
    while (struct dirent* entry = ::readdir(fds)) {
        int fd = std::atoi(entry->d_name);
        struct stat st;
        if (entry->d_name[0] == '.' || fd == own || ::fstat(fd, &st) != 0) {
            continue;
        }
        if (st.st_dev == target.st_dev && st.st_ino == target.st_ino) {
            found = true;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

std::string nestedElements(std::size_t depth) {
    std::string text;
    text.reserve(7 * depth);
    for (std::size_t i = 0; i < depth; ++i) {
        text += "<a>";
    }
    for (std::size_t i = 0; i < depth; ++i) {
        text += "</a>";
    }
    return text;
}

} // namespace zorvtest
