#include "OpsSupport.h"

#include "support/CapturedProcess.h"
#include "support/ChildProcess.h"

#include <zorv/ErrorLog.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ops {

namespace {

constexpr uid_t kNobody = zorvtest::kNobody.uid;
constexpr gid_t kNogroup = zorvtest::kNobody.gid;

// Every vendor the shipped table names, so that every name of the end
// pattern closes records.
constexpr int kVendors[] = {1, 2, 3, 4, 5, 7, 8, 9, 10};
constexpr std::size_t kBigMessage = 250000;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void writeRecord(ZorvLogger& logger, const std::string& writer, long seq, long bigEvery) {
    logger.startLogging();
    const std::string id = writer + ":" + std::to_string(seq);
    if (seq % 2 == 0) {
        const bool big = bigEvery > 0 && (seq / 2) % bigEvery == bigEvery - 1;
        ZorvDebugLog record(Zorv::kZorvCore,
                            TStr(big ? id + ":" + std::string(kBigMessage, 'x') : id));
        logger.log(record);
    } else {
        const int vendor = kVendors[(seq / 2) % (sizeof kVendors / sizeof *kVendors)];
        ZorvErrorBase record(static_cast<Zorv::VendorID>(vendor), 3, TStr(writer),
                             static_cast<int>(seq), TStr("5.0." + std::to_string(seq)));
        logger.log(record);
    }
}

// "ops-writer FILE WRITER COUNT BIG-EVERY PAUSE-MS HOLD-AT": before a record,
// waits while FILE holds HOLD-AT bytes or more (0: never).
int roleWriter(const std::vector<std::string>& a) {
    if (a.size() != 6) {
        return 90;
    }
    ZorvLogger logger{TStr(a[0])};
    const long holdAt = std::atol(a[5].c_str());
    for (long seq = 0; seq < std::atol(a[2].c_str()); ++seq) {
        if (holdAt > 0 &&
            !zorvtest::eventually([&] { return zorvtest::fileSize(a[0]) < holdAt; })) {
            return 91;
        }
        writeRecord(logger, a[1], seq, std::atol(a[3].c_str()));
        sleepMs(std::atoi(a[4].c_str()));
    }
    return 0;
}

[[maybe_unused]] const bool kRoleRegistered = zorvtest::registerRole("ops-writer", roleWriter);

} // namespace

long scale() {
    const char* value = std::getenv("ZORV_OPS_SCALE");
    const long n = value != nullptr ? std::atol(value) : 1;
    return n > 0 ? n : 1;
}

int rotations(int byDefault) {
    const char* value = std::getenv("ZORV_OPS_ROTATIONS");
    const int n = value != nullptr ? std::atoi(value) : byDefault;
    return n > 0 ? n : byDefault;
}

OpsHome::OpsHome() {
    ::chmod(mDir.path().c_str(), 0755);
    for (const char* dir :
         {"home", "data", "state", "config", "run", "sys", "sys/zorv", "log", "locks"}) {
        ::mkdir(mDir.file(dir).c_str(), 0700);
    }
    ::chmod(mDir.file("sys").c_str(), 0755);
    ::chmod(mDir.file("sys/zorv").c_str(), 0755);
    zorvtest::writeFile(mDir.file("sys/zorv/ZorvErrorCodes.xml"),
                        zorvtest::readFile(SHIPPED_TABLE));
    ::chmod(mDir.file("sys/zorv/ZorvErrorCodes.xml").c_str(), 0644);
    EXPECT_EQ(::chown(logDir().c_str(), kNobody, kNogroup), 0);
    // The writers' locks, apart from those of everything else nobody runs.
    EXPECT_EQ(::chown(mDir.file("locks").c_str(), kNobody, kNogroup), 0);
    ::chmod(logDir().c_str(), 0750);
    const std::pair<const char*, const char*> vars[] = {{"HOME", "home"},
                                                        {"XDG_DATA_HOME", "data"},
                                                        {"XDG_STATE_HOME", "state"},
                                                        {"XDG_CONFIG_HOME", "config"},
                                                        {"XDG_RUNTIME_DIR", "run"},
                                                        {"XDG_DATA_DIRS", "sys"}};
    for (const auto& var : vars) {
        mEnv.push_back(
            std::make_unique<zorvtest::ScopedEnv>(var.first, mDir.file(var.second).c_str()));
    }
}

std::string shipped(const std::string& relative) {
    return zorvtest::readFile(std::string(CONTRIB_STAGE) + "/" + relative);
}

std::string edited(std::string text,
                   const std::vector<std::pair<std::string, std::string>>& edits) {
    for (const auto& edit : edits) {
        std::size_t at = text.find(edit.first);
        EXPECT_NE(at, std::string::npos) << "the shipped file no longer holds: " << edit.first;
        for (; at != std::string::npos; at = text.find(edit.first, at + edit.second.size())) {
            text.replace(at, edit.first.size(), edit.second);
        }
    }
    return text;
}

const char* const kServiceLogs = "/var/log/zorv-service/*.log "
                                 "/var/log/zorv-service/zorv/ZorvDebug.log "
                                 "/var/log/zorv-service/zorv/ZorvPerfLog.csv";

std::string serviceRotation(const std::string& file) {
    return edited(shipped("logrotate/zorv-service"),
                  {{kServiceLogs, file},
                   {"su zorv-service zorv-service", "su nobody nogroup"},
                   {"rotate 8", "rotate 1000"}});
}

Writers::Writers(const std::string& file, long count, int rotations, long bigEvery, int pauseMs,
                 bool holdBack)
    : mCount(count) {
    // What the writers' records come to, from one record of each kind.
    const std::string sample = file + ".sample";
    {
        ZorvLogger logger{TStr(sample)};
        writeRecord(logger, "w0", 0, 0);
        writeRecord(logger, "w0", 1, 0);
    }
    mShare = zorvtest::fileSize(sample) * records() / 2 / (rotations + 1);
    ::unlink(sample.c_str());
    const long holdAt = holdBack ? mShare * 3 / 2 : 0;
    zorvtest::ChildSetup asNobody;
    asNobody.runAs = &zorvtest::kNobody;
    for (int w = 0; w < kWriters; ++w) {
        mChildren.push_back(std::make_unique<zorvtest::RoleProcess>(
            "ops-writer",
            std::vector<std::string>{file, "w" + std::to_string(w), std::to_string(count),
                                     std::to_string(bigEvery), std::to_string(pauseMs),
                                     std::to_string(holdAt)},
            asNobody));
    }
}

bool Writers::running() {
    for (auto& child : mChildren) {
        if (child->running()) {
            return true;
        }
    }
    return false;
}

void Writers::wait() {
    for (auto& child : mChildren) {
        EXPECT_EQ(child->wait(), 0) << "a writer failed";
    }
}

int writeWithRotations(const std::string& file, const std::string& config, Writers& writers,
                       int minGapMs) {
    const std::string configFile = file + ".logrotate.conf";
    zorvtest::writeFile(configFile, config);
    int made = 0;
    auto last = std::chrono::steady_clock::now();
    while (writers.running()) {
        if (zorvtest::fileSize(file) >= writers.share() &&
            std::chrono::steady_clock::now() - last >= std::chrono::milliseconds(minGapMs)) {
            last = std::chrono::steady_clock::now();
            const zorvtest::CapturedProcess run =
                zorvtest::runCaptured({"logrotate", "-f", "-s", file + ".state", configFile});
            EXPECT_EQ(run.status, 0) << run.err;
            ++made;
        }
        sleepMs(2);
    }
    writers.wait();
    ::unlink(configFile.c_str());
    ::unlink((file + ".state").c_str());
    return made;
}

std::vector<std::string> rotatedFiles(const std::string& file, std::vector<std::string>* others) {
    const std::string dir = file.substr(0, file.rfind('/'));
    const std::string base = file.substr(dir.size() + 1);
    std::map<long, std::string> byNumber;
    DIR* d = ::opendir(dir.c_str());
    for (struct dirent* e = d != nullptr ? ::readdir(d) : nullptr; e != nullptr; e = ::readdir(d)) {
        const std::string name = e->d_name;
        char* end = nullptr;
        const long n = name.compare(0, base.size() + 1, base + ".") == 0
                           ? std::strtol(name.c_str() + base.size() + 1, &end, 10)
                           : 0;
        if (n > 0 && (std::string(end) == "" || std::string(end) == ".gz")) {
            byNumber[-n] = dir + "/" + name;
        } else if (name != "." && name != ".." && name != base && others != nullptr) {
            others->push_back(name);
        }
    }
    if (d != nullptr) {
        ::closedir(d);
    }
    std::vector<std::string> files;
    for (const auto& entry : byNumber) {
        files.push_back(entry.second);
    }
    if (zorvtest::fileExists(file)) {
        files.push_back(file);
    }
    return files;
}

std::string readLog(const std::string& path) {
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".gz") != 0) {
        return zorvtest::readFile(path);
    }
    const zorvtest::CapturedProcess gunzip = zorvtest::runCaptured({"gzip", "-dc", path});
    EXPECT_EQ(gunzip.status, 0) << path << ": " << gunzip.err;
    return gunzip.out;
}

std::map<std::string, int> tally(const std::string& text) {
    const zorvtest::CapturedProcess parsed =
        zorvtest::runCaptured({ZORVLOG_EXE, "parse", "--json"}, text);
    EXPECT_EQ(parsed.status, 0) << parsed.err;
    return tallyJson(parsed.out);
}

std::map<std::string, int> tallyJson(const std::string& jsonLines) {
    static const char kIds[] = R"jq(
        if .kind == "debug" then "d " + (.message | split(":") | .[0] + ":" + .[1])
        elif .kind == "error" and .vendorVersion == "5.0.\(.line)" then "e \(.file):\(.line)"
        else "bad \(.kind) at lines \(.lines)" end)jq";
    const zorvtest::CapturedProcess ids = zorvtest::runCaptured({"jq", "-r", kIds}, jsonLines);
    EXPECT_EQ(ids.status, 0) << ids.err;
    std::map<std::string, int> seen;
    for (const std::string& id : zorvtest::splitLines(ids.out)) {
        ++seen[id];
    }
    return seen;
}

Loss lossOf(const std::map<std::string, int>& seen, long countPerWriter) {
    Loss loss;
    long expected = 0;
    for (int w = 0; w < Writers::kWriters; ++w) {
        for (long seq = 0; seq < countPerWriter; ++seq) {
            const std::string id = std::string(seq % 2 == 0 ? "d " : "e ") + "w" +
                                   std::to_string(w) + ":" + std::to_string(seq);
            const auto found = seen.find(id);
            const int n = found != seen.end() ? found->second : 0;
            loss.lost += n == 0;
            loss.doubled += n > 1 ? n - 1 : 0;
            expected += n;
            if (n != 1 && loss.first.empty()) {
                loss.first = id + " found " + std::to_string(n) + " times";
            }
        }
    }
    for (const auto& entry : seen) {
        expected -= entry.second;
    }
    loss.bad = -expected;
    if (loss.bad > 0 && loss.first.empty()) {
        for (const auto& entry : seen) {
            if (entry.first.compare(0, 4, "bad ") == 0) {
                loss.first = entry.first;
            }
        }
    }
    return loss;
}

Daemon::Daemon(const std::vector<std::string>& argv, const std::string& logFile, int in, int out) {
    const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    mPid = zorvtest::spawnProcess(argv, in, out >= 0 ? out : fd, fd);
    ::close(fd);
}

Daemon::~Daemon() {
    if (mPid <= 0) {
        return;
    }
    ::kill(mPid, SIGTERM);
    if (!zorvtest::eventually([this] { return ::waitpid(mPid, nullptr, WNOHANG) == mPid; },
                              10000)) {
        ::kill(mPid, SIGKILL);
        zorvtest::waitProcess(mPid);
    }
}

int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(s);
    return port;
}

bool accepting(int port) {
    return zorvtest::eventually([port] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(s);
        return ok;
    });
}

} // namespace ops
