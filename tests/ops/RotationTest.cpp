// The shipped logrotate files run by the real logrotate against writers of
// the library, rotations forced between their records.

#include "OpsSettings.h"
#include "OpsSupport.h"
#include "support/CapturedProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <ostream>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using ops::LongOpsRotation;
using Setting = ops::RotationSetting;

std::string configFor(const Setting& setting, const std::string& file) {
    std::string config = ops::serviceRotation(file);
    if (setting.directives != nullptr) {
        config = ops::edited(config,
                             {{"    nocreate\n", std::string("    ") + setting.directives + "\n"},
                              {"    compress\n    delaycompress\n", ""}});
    }
    return config;
}

TEST_P(LongOpsRotation, EveryRecordOnceAcrossTheRotatedFiles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the writers run as nobody, logrotate as root with su";
    }
    ops::OpsHome home;
    const std::string file = home.logDir() + "/ops-rotation.log";
    const long count = 150 * ops::scale();
    const int wanted = ops::rotations(20);
    ops::Writers writers(file, count, wanted, 0, 0, true);
    const int rotations = ops::writeWithRotations(file, configFor(GetParam(), file), writers);

    std::vector<std::string> others;
    std::string rotated;
    for (const std::string& f : ops::rotatedFiles(file, &others)) {
        rotated += ops::readLog(f);
    }
    std::string elsewhere;
    for (const std::string& name : others) {
        elsewhere += ops::readLog(home.logDir() + "/" + name);
    }
    const ops::Loss loss = ops::lossOf(ops::tally(rotated), count);
    const ops::Loss besides = ops::lossOf(ops::tally(rotated + elsewhere), count);
    std::printf("[ stats    ] %s: %ld records, %d rotations: %ld lost, %ld doubled, %ld not whole; "
                "%ld only in %zu other files\n",
                GetParam().name, writers.records(), rotations, loss.lost, loss.doubled, loss.bad,
                loss.lost - besides.lost, others.size());

    // Held back at one and a half shares (and a record per writer): at least
    // half the rotations aimed at, however the rotations were scheduled.
    EXPECT_GE(rotations, wanted / 2);
    EXPECT_EQ(loss.doubled, 0) << loss.first;
    if (GetParam().directives == nullptr || std::string(GetParam().directives) == "nocreate") {
        EXPECT_EQ(loss.lost + loss.bad, 0) << loss.first;
        EXPECT_TRUE(others.empty()) << others.front();
    }
}

// The settings the shipped file warns against are measured by bench/ops.
INSTANTIATE_TEST_SUITE_P(Safe, LongOpsRotation,
                         ::testing::Values(Setting{"Shipped", nullptr},
                                           Setting{"Nocreate", "nocreate"}),
                         ops::settingName<Setting>);

// The per-user units: what the service runs, run as an ordinary user on the
// default logs in its home.
TEST(LongOpsUserRotation, TheUsersOwnRunRotatesWhatRootsRefuses) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as an ordinary user";
    }
    ops::OpsHome home;
    const std::string userHome = home.path("user");
    const std::vector<std::string> asUser = {
        "setpriv", "--reuid=65534", "--regid=65534",    "--clear-groups",   "env",
        "-u",      "XDG_DATA_HOME", "HOME=" + userHome, "ZORV_DEBUG_MODE=1"};
    ASSERT_EQ(zorvtest::runProcess({"install", "-d", "-o", "nobody", "-g", "nogroup", userHome,
                                    userHome + "/.local/share", userHome + "/.local/state/zorv"}),
              0);
    std::vector<std::string> debug = asUser;
    debug.insert(debug.end(), {ZORVLOG_EXE, "debug", "--vendor", "1", "before", "rotation"});
    const zorvtest::CapturedProcess logged = zorvtest::runCaptured(debug);
    ASSERT_EQ(logged.status, 0) << logged.err;
    // As the umask 002 of a user with a group of their own leaves it.
    const std::string logs = userHome + "/.local/share/zorv/";
    ASSERT_EQ(::chmod(logs.c_str(), 0770), 0);

    const std::string units = std::string(CONTRIB_STAGE) + "/systemd/";
    const zorvtest::CapturedProcess verified =
        zorvtest::runCaptured({"systemd-analyze", "verify", "--user",
                               units + "zorv-logrotate.service", units + "zorv-logrotate.timer"});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(verified.err, "");

    // The service's command, with the state directory systemd would make and
    // the configuration where this build stages it.
    std::string command = ops::shipped("systemd/zorv-logrotate.service");
    command = command.substr(command.find("ExecStart=") + 10);
    command =
        ops::edited(command.substr(0, command.find('\n')),
                    {{"%S", userHome + "/.local/state"}, {INSTALLED_CONTRIB_DIR, CONTRIB_STAGE}});
    std::vector<std::string> rotate = zorvtest::splitFields(command, ' ');
    rotate.push_back("--force");
    ASSERT_EQ(rotate.size(), 5u) << command;

    // root's logrotate (with a state file of its own) refuses the directory
    // the library made: it is writable by a group that is not root's.
    std::vector<std::string> byRoot = rotate;
    byRoot[2] = home.path("root.state");
    byRoot.insert(byRoot.begin(), {"env", "HOME=" + userHome});
    const zorvtest::CapturedProcess refused = zorvtest::runCaptured(byRoot);
    EXPECT_NE(refused.err.find("insecure permissions"), std::string::npos) << refused.err;

    std::vector<std::string> run = asUser;
    run.insert(run.end(), rotate.begin(), rotate.end());
    const zorvtest::CapturedProcess rotated = zorvtest::runCaptured(run);
    EXPECT_EQ(rotated.status, 0) << rotated.err;
    EXPECT_NE(zorvtest::readFile(logs + "ZorvDebug.log.1").find("before rotation"),
              std::string::npos);
    EXPECT_FALSE(zorvtest::fileExists(logs + "ZorvDebug.log"));
    EXPECT_TRUE(zorvtest::fileExists(userHome + "/.local/state/zorv/logrotate.state"));
}

// The recipe of docs/operations.md for a service user without a home: its
// debug and performance logs, put under /var/log/<service>/zorv by
// XDG_DATA_HOME, rotate with the shipped snippet as it stands, site values
// aside, and the next record makes the file again.
TEST(LongOpsServiceRotation, AServicesDebugAndPerformanceLogsRotateWithTheShippedSnippet) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the service runs as nobody, logrotate as root with su";
    }
    ops::OpsHome home;
    const std::string logs = home.logDir();
    std::vector<std::string> asService = zorvtest::splitFields(
        "setpriv --reuid=65534 --regid=65534 --clear-groups env -u HOME ZORV_DEBUG_MODE=1 "
        "ZORV_PERF_LOG=1",
        ' ');
    asService.insert(asService.end(),
                     {"XDG_DATA_HOME=" + logs, "ZORV_LOCK_DIR=" + home.path("locks"), "sh", "-c",
                      "umask 027 && exec \"$@\"", "service", ZORVLOG_EXE});
    auto service = [&](std::vector<std::string> args) {
        args.insert(args.begin(), asService.begin(), asService.end());
        const zorvtest::CapturedProcess run = zorvtest::runCaptured(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
    };
    service({"debug", "--vendor", "1", "before", "rotation"});
    service({"perf", "--vendor", "1", "open", "1", "bytes", "2", "before"});

    const std::string config = home.path("service.conf");
    zorvtest::writeFile(config,
                        ops::edited(ops::shipped("logrotate/zorv-service"),
                                    {{"/var/log/zorv-service", logs},
                                     {"su zorv-service zorv-service", "su nobody nogroup"}}));
    const zorvtest::CapturedProcess rotated =
        zorvtest::runCaptured({"logrotate", "-f", "-s", home.path("logrotate.state"), config});
    ASSERT_EQ(rotated.status, 0) << rotated.err;
    const std::string dir = logs + "/zorv/";
    EXPECT_NE(zorvtest::readFile(dir + "ZorvDebug.log.1").find("before rotation"),
              std::string::npos);
    EXPECT_NE(zorvtest::readFile(dir + "ZorvPerfLog.csv.1").find(",before,"), std::string::npos);
    EXPECT_FALSE(zorvtest::fileExists(dir + "ZorvDebug.log"));

    service({"debug", "--vendor", "1", "after", "rotation"});
    EXPECT_NE(zorvtest::readFile(dir + "ZorvDebug.log").find("after rotation"), std::string::npos);
    EXPECT_EQ(zorvtest::readFile(dir + "ZorvDebug.log.1").find("after rotation"),
              std::string::npos);
}

// zorvlog, one process per record as a script runs it, on a log that is
// missing when it starts: the file the library makes for the record is
// rotated away twice (renamed, then renamed again, with a new empty file at
// the path as logrotate's create leaves it) as soon as it appears. An
// invocation whose record reached a file must not report it lost (a script
// that tried again would write it twice). The rotations are made on the
// event of the file's creation, and the writer stopped meanwhile, so that
// most of them come between the record and zorvlog's check of it.
TEST(LongOpsZorvlog, ARecordRotatedAwayIsNotReportedLost) {
    ops::OpsHome home;
    const std::string dir = home.path("scripted");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string file = dir + "/scripted.log";
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_CREATE), 0);
    const int records = 40 * static_cast<int>(ops::scale());
    std::vector<int> status(static_cast<std::size_t>(records), -1);
    for (int i = 0; i < records; ++i) {
        const pid_t writer =
            zorvtest::spawnProcess({ZORVLOG_EXE, "error", "--vendor", "8", "--code", "3", "--line",
                                    std::to_string(i), file});
        // The writer's own creation of the log, or its end without one.
        for (bool created = false; !created;) {
            struct pollfd event {
                watch, POLLIN, 0
            };
            if (::poll(&event, 1, 20) == 1) {
                char buffer[4096];
                const ssize_t n = ::read(watch, buffer, sizeof buffer);
                for (ssize_t at = 0; at < n;) {
                    const auto* e = reinterpret_cast<const struct inotify_event*>(buffer + at);
                    created = created || (e->len > 0 && std::string(e->name) == "scripted.log");
                    at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
                }
            } else {
                siginfo_t ended{};
                created = ::waitid(P_PID, static_cast<id_t>(writer), &ended,
                                   WEXITED | WNOHANG | WNOWAIT) != 0 ||
                          ended.si_pid != 0;
                if (created) {
                    break;
                }
            }
        }
        ::kill(writer, SIGSTOP);
        const std::string first = file + "." + std::to_string(2 * i + 1);
        const std::string second = file + "." + std::to_string(2 * i + 2);
        if (::rename(file.c_str(), first.c_str()) == 0) {
            ::close(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            ::rename(first.c_str(), second.c_str());
        }
        ::kill(writer, SIGCONT);
        status[static_cast<std::size_t>(i)] = zorvtest::waitProcess(writer);
        ::unlink(file.c_str());
        // The creation just made is not the next writer's.
        for (char drained[4096]; ::read(watch, drained, sizeof drained) > 0;) {
        }
    }
    ::close(watch);
    std::string all;
    for (const std::string& f : ops::rotatedFiles(file, nullptr)) {
        all += zorvtest::readFile(f);
    }
    for (int i = 0; i < records; ++i) {
        const bool written = all.find(",Line=" + std::to_string(i) + "\n") != std::string::npos;
        EXPECT_EQ(status[static_cast<std::size_t>(i)] == 0, written)
            << "record " << i << ": exit " << status[static_cast<std::size_t>(i)];
    }
}

} // namespace
