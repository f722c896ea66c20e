// zorvlog follow on logs that writers fill while logrotate rotates and
// compresses them, while the follower is stopped, killed and started again,
// and while others put files, links and damage beside them.
#include "ZorvlogFixture.h"
#include "support/ChildProcess.h"

#include <zorv/ErrorLog.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace zorvtest {
namespace {

using namespace std::chrono_literals;

// Writes records FIRST to LAST to a log, "record N" each: every fourth an
// error record (seven lines, the text as its reason), the others debug records.
int writeRecords(const std::vector<std::string>& args) {
    ZorvLogger logger{TStr(args[0].c_str())};
    for (int i = std::stoi(args[1]); i <= std::stoi(args[2]); ++i) {
        const std::string text = "record " + std::to_string(i);
        logger.startLoggingWMilliSecs();
        if (i % 4 == 3) {
            ZorvErrorBase error(Zorv::kBrakka, 42, "w.cpp", i, "1.0");
            error.setReason(text.c_str());
            logger.log(error);
        } else {
            logger.log(ZorvDebugLog(Zorv::kZorvCore, text.c_str()));
        }
    }
    return 0;
}
const bool kWriterRole = registerRole("follow-writer", writeRecords);

// A debug line as a writer other than the library would append it.
std::string debugLine(int record) {
    return "4711\t2026/12/06\t17:05:09\tZorvCore\trecord " + std::to_string(record) + "\t\n";
}

// Appends as a writer does, never rewriting what is there.
void append(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

class Follow : public ZorvlogTest {
protected:
    ~Follow() override {
        for (pid_t pid : mRunning) {
            ::kill(pid, SIGKILL);
            waitProcess(pid);
        }
    }

    // A follower (--json) whose output and messages go to files named for its run.
    // log made in a shared (1777) directory with records 0 and 1, which a
    // follower with state has printed before it stopped.
    void followedInASharedDirectory(const std::string& log, const std::string& state) {
        const std::string shared = log.substr(0, log.rfind('/'));
        ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
        write(log, 0, 1);
        const pid_t follower = start({state, log}, 1);
        ASSERT_TRUE(eventually([&] { return printed(1, 1); }));
        stop(follower);
    }

    pid_t start(const std::vector<std::string>& args, int run) {
        std::vector<std::string> argv{ZORVLOG_EXE, "follow", "--json"};
        argv.insert(argv.end(), args.begin(), args.end());
        const int out = ::open(output(run).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(messages(run).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const pid_t pid = spawnProcess(argv, -1, out, err);
        ::close(out);
        ::close(err);
        mRunning.insert(pid);
        return pid;
    }
    int wait(pid_t follower, long* peakKb = nullptr) {
        mRunning.erase(follower);
        return waitProcess(follower, peakKb);
    }
    void stop(pid_t follower) {
        ::kill(follower, SIGTERM);
        EXPECT_EQ(wait(follower), 0);
    }
    std::string output(int run) const { return mDir.file("run" + std::to_string(run) + ".json"); }
    std::string messages(int run) const { return mDir.file("run" + std::to_string(run) + ".err"); }

    bool printed(int run, int record) {
        return readFile(output(run)).find("\"record " + std::to_string(record) + "\"") !=
               std::string::npos;
    }
    bool said(int run, const std::string& text) {
        return readFile(messages(run)).find(text) != std::string::npos;
    }
    static void write(const std::string& log, int first, int last) {
        EXPECT_EQ(
            RoleProcess("follow-writer", {log, std::to_string(first), std::to_string(last)}).wait(),
            0);
    }

    // Every record a run printed ("record N" -> its key), each checked for
    // the members a collector relies on, the severity of its kind.
    std::map<int, std::string> records(int run) {
        static const std::regex key("[0-9a-f]{16}:[0-9]+"),
            timestamp("[0-9-]{10}T[0-9:]{8}[.][0-9]{3}[+-][0-9:]{5}");
        std::map<int, std::string> seen;
        // A batch the follower is still writing may end in part of a line.
        std::string text = readFile(output(run));
        text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
        for (const std::string& line : splitLines(text)) {
            const nlohmann::json entry = nlohmann::json::parse(line);
            const bool error = entry.at("kind") == "error";
            EXPECT_TRUE(std::regex_match(entry.at("key").get<std::string>(), key)) << line;
            EXPECT_TRUE(std::regex_match(entry.at("timestamp").get<std::string>(), timestamp))
                << line;
            EXPECT_EQ(entry.at("severity"), error ? "err" : "debug") << line;
            EXPECT_TRUE(!error || entry.at("host") == "testhost") << line;
            const std::string text = entry.at(error ? "reason" : "message");
            EXPECT_TRUE(seen.emplace(std::stoi(text.substr(7)), entry.at("key")).second) << text;
        }
        return seen;
    }

    std::set<pid_t> mRunning; // started and not yet waited for
};

// The log is missing when the follower starts; stopped, it misses writes to
// a file that is then rotated and compressed; restarted, it says where it
// resumes and prints exactly what it had not.
TEST_F(Follow, RestartFindsTheUnfinishedFileCompressed) {
    const std::string log = mDir.file("a.log"), state = mDir.file("a.state");
    pid_t first = start({"--state", state, log}, 1);
    write(log, 0, 2);
    ASSERT_TRUE(eventually([&] { return printed(1, 2); }));
    stop(first);

    const long stoppedAt = fileSize(log);
    write(log, 3, 4);
    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(runProcess({"gzip", log + ".1"}), 0);
    write(log, 9, 9);

    pid_t second = start({"--state", state, log}, 2);
    ASSERT_TRUE(eventually([&] { return printed(2, 9); }));
    CapturedProcess rival = zorvlog({"follow", "--state", state, log});
    EXPECT_EQ(rival.status, 1);
    EXPECT_NE(rival.err.find("in use by another zorvlog follow"), std::string::npos) << rival.err;
    EXPECT_NE(rival.err.find("--state"), std::string::npos) << rival.err;
    stop(second);
    EXPECT_TRUE(said(2, "resuming at byte " + std::to_string(stoppedAt) + " of " + log + ".1.gz"))
        << readFile(messages(2));
    std::map<int, std::string> before = records(1), after = records(2);
    EXPECT_EQ(before.size(), 3u);
    EXPECT_EQ(after.size(), 3u) << readFile(output(2));
    EXPECT_EQ(after.count(3) + after.count(4) + after.count(9), 3u);
}

// Stopped, a follower misses writes to a log that logrotate then rotates
// twice with each compressor follow reads, beside the log or into its olddir;
// restarted, it resumes inside the compressed file and prints exactly what it
// had not, with the keys a follower that read the plain files gave them.
TEST_F(Follow, RestartReadsEveryRotationLayout) {
    const char* const layouts[][3] = {
        {"xz", ".xz", ""}, {"zstd", ".zst", ""}, {"bzip2", ".bz2", "old"}, {"xz", ".xz", "old"}};
    int run = 0;
    for (const auto& layout : layouts) {
        const std::string dir = mDir.file(layout[0] + std::to_string(run));
        const std::string olddir = *layout[2] ? dir + "/" + layout[2] : dir;
        const std::string log = dir + "/a.log", conf = dir + "/rotate.conf";
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        ASSERT_TRUE(!*layout[2] || ::mkdir(olddir.c_str(), 0700) == 0);
        writeFile(conf, log + " {\n rotate 9\n compress\n compresscmd /usr/bin/" + layout[0] +
                            "\n compressext " + layout[1] + "\n compressoptions -6\n" +
                            (*layout[2] ? " olddir old\n" : "") + "}\n");
        const std::vector<std::string> args{"--state", dir + "/state", "--olddir", "old", log};
        write(log, 0, 2);
        const int plain = ++run;
        pid_t awake =
            start({"--state", dir + "/awake", "--olddir", "old", dir + "/*.none", log}, plain);
        pid_t follower = start(args, ++run);
        ASSERT_TRUE(eventually([&] { return printed(run, 2); }));
        stop(follower);
        const long stoppedAt = fileSize(log);
        for (int r = 3; r <= 5; r += 2) {
            write(log, r, r + 1);
            ASSERT_TRUE(eventually([&] { return printed(plain, r + 1); }));
            ASSERT_EQ(runProcess({"/usr/sbin/logrotate", "-f", "-s", dir + "/rs", conf}), 0);
        }
        EXPECT_EQ(said(plain, log + ": --olddir " + dir + "/old is no directory"), !*layout[2]);
        write(log, 9, 9);
        follower = start(args, ++run);
        ASSERT_TRUE(eventually([&] { return printed(run, 9) && printed(plain, 9); }));
        stop(follower);
        stop(awake);
        EXPECT_TRUE(said(run, "resuming at byte " + std::to_string(stoppedAt) + " of " + olddir +
                                  "/a.log.2" + layout[1]))
            << readFile(messages(run));
        std::map<int, std::string> both = records(run - 1), after = records(run);
        EXPECT_EQ(both.size() + after.size(), 8u) << readFile(output(run));
        both.insert(after.begin(), after.end());
        EXPECT_EQ(both, records(plain)) << layout[0];
    }
}

// A filter prints only the records that pass it; the state moves past the
// others too: a follower started again without the filter begins after the
// last record read, printed or not.
TEST_F(Follow, FilteredRecordsAreReadPastAndNotPrinted) {
    const std::string log = mDir.file("f.log"), state = mDir.file("f.state");
    write(log, 0, 5);
    pid_t filtered = start({"-p", "err", "-o", "json", "--no-pager", "--state", state, log}, 1);
    // Every record read, the last one once the file is quiet: the state
    // stands at the file's end (offsets are 16 hex digits there).
    char end[32];
    std::snprintf(end, sizeof end, " %016lx ", fileSize(log));
    ASSERT_TRUE(eventually([&] { return readFile(state).find(end) != std::string::npos; }));
    stop(filtered);
    std::map<int, std::string> first = records(1);
    EXPECT_EQ(first.size(), 1u) << readFile(output(1));
    EXPECT_EQ(first.count(3), 1u);
    write(log, 6, 7);
    pid_t all = start({"--state", state, log}, 2);
    ASSERT_TRUE(eventually([&] { return printed(2, 7); }));
    stop(all);
    std::map<int, std::string> second = records(2);
    EXPECT_EQ(second.size(), 2u) << readFile(output(2));
    EXPECT_EQ(second.count(6) + second.count(7), 2u) << readFile(output(2));
}

// Copied and emptied in place behind the follower's back (logrotate's
// copytruncate), then written short of where reading stood or past it: what
// it had not read is read from the copy, then the emptied file from its
// start. Emptied without a copy: what it had not read is named lost.
TEST_F(Follow, EmptiedInPlaceContinuesInTheCopy) {
    for (int last : {5, 20, -20}) {
        const int run = last + 21, end = std::abs(last);
        const std::string log = mDir.file("c" + std::to_string(run) + ".log");
        write(log, 0, 2);
        pid_t follower = start({log}, run);
        ASSERT_TRUE(eventually([&] { return printed(run, 2); }));
        ::kill(follower, SIGSTOP);
        write(log, 3, 4);
        const std::string copy = last > 0 ? "cp \"$0\" \"$0.1\" && " : "";
        ASSERT_EQ(runProcess({"sh", "-c", copy + ": > \"$0\"", log}), 0);
        write(log, 5, end);
        ::kill(follower, SIGCONT);
        ASSERT_TRUE(eventually([&] { return printed(run, end); }));
        stop(follower);
        EXPECT_EQ(records(run).size(), static_cast<std::size_t>(last > 0 ? end + 1 : end - 1))
            << readFile(output(run)) << readFile(messages(run));
        EXPECT_EQ(said(run, "are lost"), last < 0) << readFile(messages(run));
    }
}

// One byte rewritten in place near where reading stands is damage to name,
// not a copytruncate, whether the follower runs or restarts after it: nothing
// is read again, and the records after it come once.
TEST_F(Follow, AByteRewrittenInPlaceIsDamageNotANewFile) {
    const std::string log = mDir.file("a.log"), state = mDir.file("a.state");
    write(log, 0, 199);
    for (int run = 1; run <= 2; ++run) {
        pid_t follower = start({"--state", state, log}, run);
        if (run == 1) {
            const long at = fileSize(log) - 20;
            ASSERT_TRUE(eventually([&] { return printed(1, 199); }));
            ASSERT_EQ(runProcess({"sh", "-c",
                                  "printf X | dd of=\"$0\" bs=1 seek=$1 conv=notrunc 2>/dev/null",
                                  log, std::to_string(at)}),
                      0);
            // Written once the follower looked at the file again (or read it again).
            ASSERT_TRUE(eventually([&] {
                return said(1, "changed in place") || splitLines(readFile(output(1))).size() > 200;
            }));
        }
        write(log, 190 + 10 * run, 199 + 10 * run);
        ASSERT_TRUE(eventually([&] { return printed(run, 199 + 10 * run); }));
        stop(follower);
        EXPECT_EQ(records(run).size(), run == 1 ? 210u : 10u) << readFile(messages(run));
        EXPECT_TRUE(said(run, log + ": changed in place")) << readFile(messages(run));
        if (run == 1) {
            ASSERT_EQ(runProcess({"sh", "-c",
                                  "printf Y | dd of=\"$0\" bs=1 seek=$1 conv=notrunc 2>/dev/null",
                                  log, std::to_string(fileSize(log) - 20)}),
                      0);
        }
    }
}

// Two followers with states of their own: A reads on without a break, B stops
// at byte 0 of the empty file a rotation made, and while it is down that file
// gets records, is rotated and compressed, and an empty one takes its place
// (its inode, maybe). B then prints exactly what it had not, and both give each
// record one key, though A read it as the log and B as its compressed copy.
TEST_F(Follow, ARestartAtByteZeroIsPlacedByTheGenerationBefore) {
    const std::string log = mDir.file("z.log");
    auto rotate = [&](bool compress) {
        if (fileExists(log + ".1")) {
            ASSERT_EQ(::rename((log + ".1").c_str(), (log + ".2").c_str()), 0);
        }
        ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
        ASSERT_TRUE(!compress || runProcess({"gzip", log + ".1"}) == 0);
        append(log, "");
    };
    write(log, 0, 2);
    pid_t a = start({"--state", mDir.file("a.state"), log}, 1);
    pid_t b = start({"--state", mDir.file("b.state"), log}, 2);
    ASSERT_TRUE(eventually([&] { return printed(1, 2) && printed(2, 2); }));
    rotate(false);
    struct stat st;
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    char current[64];
    std::snprintf(current, sizeof current, "c %016lx %016lx ", static_cast<long>(st.st_dev),
                  static_cast<long>(st.st_ino));
    ASSERT_TRUE(eventually(
        [&] { return readFile(mDir.file("b.state")).find(current) != std::string::npos; }));
    stop(b);
    write(log, 3, 5);
    ASSERT_TRUE(eventually([&] { return printed(1, 5); }));
    rotate(true);
    write(log, 6, 6);
    b = start({"--state", mDir.file("b.state"), log}, 3);
    ASSERT_TRUE(eventually([&] { return printed(1, 6) && printed(3, 6); }));
    stop(a);
    stop(b);
    std::map<int, std::string> live = records(1), restarted = records(3);
    EXPECT_EQ(live.size(), 7u) << readFile(output(1));
    ASSERT_EQ(restarted.size(), 4u) << readFile(output(3)) << readFile(messages(3));
    for (const auto& record : restarted) {
        EXPECT_EQ(live[record.first], record.second) << "record " << record.first;
    }
}

// Nine generations, each ending in a record of 15 MiB, rotated while the
// follower was stopped: one such record in memory at a time.
TEST_F(Follow, LargeRecordsInManyGenerationsInBoundedMemory) {
    const std::string log = mDir.file("a.log"), conf = mDir.file("rotate.conf");
    writeFile(conf, log + " {\n rotate 20\n nocreate\n}\n");
    append(log, debugLine(0));
    // Only the small records are printed (--pid), so that the test reads
    // little; the large ones are read all the same.
    pid_t follower = start({"--pid", "4711", log}, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 0); }));
    ::kill(follower, SIGSTOP);
    const std::string big = "4712\t2026/12/06\t17:05:09\tZorvCore\t" + std::string(15 << 20, 'x');
    for (int i = 1; i <= 9; ++i) {
        append(log, debugLine(i) + big + "\t\n");
        ASSERT_EQ(runProcess({"/usr/sbin/logrotate", "-f", "-s", mDir.file("state"), conf}), 0);
    }
    append(log, debugLine(10));
    ::kill(follower, SIGCONT);
    ASSERT_TRUE(eventually([&] { return printed(1, 10); }));
    ::kill(follower, SIGTERM);
    long peakKb = 0;
    EXPECT_EQ(wait(follower, &peakKb), 0);
    EXPECT_EQ(records(1).size(), 11u);
    if (!kSanitized) {
        EXPECT_LE(peakKb, 64 * 1024);
    }
}

// A hundred logs, each ending in an unfinished line of 1 MB: what they hold
// stays within the follower's bound, and every line is printed once ended.
TEST_F(Follow, UnfinishedLinesOfManyLogsInBoundedMemory) {
    const std::string unfinished =
        "4712\t2026/12/06\t17:05:09\tZorvCore\t" + std::string(1000000, 'x');
    std::vector<std::string> args{"--pid", "4711"};
    for (int i = 0; i < 100; ++i) {
        args.push_back(mDir.file("log" + std::to_string(i)));
        append(args.back(), debugLine(i) + unfinished);
    }
    const pid_t follower = start(args, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 99); }));
    for (int i = 0; i < 100; ++i) {
        append(args[i + 2], "\t\n" + debugLine(100 + i));
    }
    ASSERT_TRUE(eventually([&] { return records(1).size() == 200; }));
    ::kill(follower, SIGTERM);
    long peakKb = 0;
    EXPECT_EQ(wait(follower, &peakKb), 0);
    if (!kSanitized) {
        EXPECT_LE(peakKb, 64 * 1024);
    }
}

// SIGTERM while the reader of the output takes nothing: follow ends, and what
// it wrote is whole records.
TEST_F(Follow, StopWhileTheReaderTakesNothingEndsBetweenRecords) {
    const std::string log = mDir.file("a.log");
    std::string lines;
    for (int i = 0; i < 5000; ++i) {
        lines += debugLine(i);
    }
    append(log, lines);
    // A service manager's notify socket, with a watchdog.
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, mDir.file("notify").c_str());
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ScopedEnv socket{"NOTIFY_SOCKET", address.sun_path}, watchdog{"WATCHDOG_USEC", "1000000"};
    auto told = [&] {
        std::string text;
        char datagram[4096];
        for (ssize_t n; (n = ::recv(notify, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;) {
            text.append(datagram, static_cast<std::size_t>(n)).append("|");
        }
        return text;
    };
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t follower =
        spawnProcess({ZORVLOG_EXE, "follow", "--json", "-n", "all", log}, -1, pipe[1], -1);
    ::close(pipe[1]);
    // The pipe is full: the follower waits for room.
    ASSERT_TRUE(eventually([&] {
        int queued = 0;
        return ::ioctl(pipe[0], FIONREAD, &queued) == 0 && queued > 60000 &&
               processState(follower) == 'S';
    }));
    const std::string before = told();
    EXPECT_EQ(before.rfind("READY=1\nSTATUS=1 log, ", 0), 0u) << before;
    // The follower that waits for its output still feeds the watchdog.
    std::string waiting;
    EXPECT_TRUE(eventually([&] {
        waiting += told();
        return waiting.find("WATCHDOG=1|WATCHDOG=1|") != std::string::npos;
    })) << waiting;
    ::close(notify);
    ::kill(follower, SIGTERM);
    EXPECT_EQ(waitProcess(follower), 0);
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipe[0]);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    for (const std::string& line : splitLines(out)) {
        EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
}

// Without inotify (no instance left for the user, or no watch) follow says
// once which limit to raise, still prints what is written, and takes up a
// log a pattern comes to match. Short of descriptors for every log a pattern
// matches, it says once that the bound is reached and follows those it has.
TEST_F(Follow, WithoutInotifyItSaysWhichLimitAndLooksAnyway) {
    struct Case {
        std::string limit, lower, name;
        int logs;
    };
    const Case cases[] = {
        {"instances", "echo 0 >/proc/sys/user/max_inotify_instances", "max_user_instances", 1},
        {"watches", "echo 0 >/proc/sys/user/max_inotify_watches", "max_user_watches", 1},
        {"descriptors", "ulimit -n 48", "limit of open files", 12}};
    int run = 0;
    for (const Case& c : cases) {
        const std::string dir = mDir.file(c.limit), log = dir + "/la.log";
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        for (int i = 0; i < c.logs; ++i) {
            append(dir + "/l" + char('a' + i) + ".log", debugLine(0));
        }
        const int out = ::open(output(++run).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(messages(run).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> argv{"sh", "-c",
                                      c.lower + " || exit 99; exec \"$0\" follow --json \"$1\"",
                                      ZORVLOG_EXE, c.logs > 1 ? dir : dir + "/*.log"};
        if (c.logs == 1) {
            argv.insert(argv.begin(), {"unshare", "-Ur"});
        }
        const pid_t follower = spawnProcess(argv, -1, out, err);
        ::close(out);
        ::close(err);
        mRunning.insert(follower);
        ASSERT_TRUE(eventually([&] { return printed(run, 0) || processState(follower) == 'Z'; }));
        if (!printed(run, 0)) {
            GTEST_SKIP() << "no user namespace here: " << readFile(messages(run));
        }
        append(log, debugLine(1));
        ASSERT_TRUE(eventually([&] { return printed(run, 1); }));
        append(c.logs == 1 ? dir + "/later.log" : log, debugLine(2));
        ASSERT_TRUE(eventually([&] { return printed(run, 2); }));
        stop(follower);
        const std::string said = readFile(messages(run));
        EXPECT_NE(said.find(c.name), std::string::npos) << said;
        EXPECT_EQ(said.find(c.name), said.rfind(c.name)) << said;
        const int taken = static_cast<int>(splitLines(readFile(output(run))).size()) - 2;
        EXPECT_EQ(taken == c.logs, c.logs == 1) << taken;
    }
}

// Without --state, as tail -f: the last 10 records (-n N, -n all) then what
// comes, for any number of followers of one log, the history again each time.
// With --state, -n N places a log new to the state; then the state wins.
TEST_F(Follow, LastRecordsThenFollowUnlessTheStateKnowsBetter) {
    const std::string log = mDir.file("a.log"), state = "--state=" + mDir.file("a.state");
    write(log, 0, 11);
    std::vector<pid_t> followers{start({"-n", "3", log}, 1), start({log}, 4),
                                 start({"-n", "all", log}, 5), start({"-n", "3", log}, 6)};
    ASSERT_TRUE(eventually([&] { return printed(1, 11) && printed(4, 11) && printed(5, 11); }));
    ASSERT_TRUE(eventually([&] { return printed(6, 11); }));
    write(log, 12, 12);
    for (int run : {1, 4, 5, 6}) {
        ASSERT_TRUE(eventually([&] { return printed(run, 12); })) << run;
        stop(followers[run == 1 ? 0 : run - 3]);
    }
    std::map<int, std::string> seen = records(1);
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.begin()->first, 9);
    EXPECT_EQ(records(6), seen);
    EXPECT_EQ(records(4).size(), 11u);
    EXPECT_EQ(records(5).size(), 13u);
    EXPECT_FALSE(said(1, "state")) << readFile(messages(1));

    pid_t follower = start({state, "-n", "2", log}, 2);
    ASSERT_TRUE(eventually([&] { return printed(2, 12); }));
    stop(follower);
    EXPECT_EQ(records(2).size(), 2u);
    write(log, 13, 13);
    follower = start({state, "--lines=0", log}, 3);
    ASSERT_TRUE(eventually([&] { return printed(3, 13); }));
    stop(follower);
    EXPECT_EQ(records(3).size(), 1u);
    EXPECT_TRUE(said(3, "wins over --lines")) << readFile(messages(3));

    // The last record still waits for a version line: it counts all the same.
    const std::string section = "4712\t2026/12/06\t17:05:10\t", b = mDir.file("b.log");
    append(b, debugLine(1) + debugLine(2) + section + "Reason=record 3\n" + section +
                  "ComputerName=testhost\n" + section + "OS=x\n" + section + "File=a.cpp,Line=1\n" +
                  section + "VendorID=3 [Brakka]\n" + section + "VendorError=42\n");
    // A state an earlier follow kept unasked for these logs is named once,
    // with the option that resumes from it.
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>((b + "\n").data()), b.size() + 1);
    const std::string counted = "1" + b + "\n";
    char name[64];
    std::snprintf(name, sizeof name, "/follow-%08lx%08lx.state", crc,
                  crc32(0, reinterpret_cast<const Bytef*>(counted.data()), counted.size()));
    const std::string earlier = mHome.stateHome() + "/zorv" + name;
    ::mkdir(mHome.stateHome().c_str(), 0700);
    ASSERT_EQ(::mkdir((mHome.stateHome() + "/zorv").c_str(), 0700), 0);
    writeFile(earlier, "");
    follower = start({"-n", "2", b}, 7);
    ASSERT_TRUE(eventually([&] { return printed(7, 3); }));
    stop(follower);
    EXPECT_EQ(records(7).size(), 2u) << readFile(output(7));
    // A collector without --state is told once that nothing is kept, and
    // where the earlier state lies.
    const int err = ::open(messages(8).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    follower = spawnProcess({ZORVLOG_EXE, "follow", "--relp", "127.0.0.1:1", b}, -1, -1, err);
    ::close(err);
    mRunning.insert(follower);
    ASSERT_TRUE(eventually([&] { return said(8, "takes no records"); }));
    stop(follower);
    for (int run : {7, 8}) {
        const std::string got = readFile(messages(run));
        for (const std::string& note : {"--state " + earlier, std::string("nothing is kept")}) {
            EXPECT_EQ(got.find(note) != std::string::npos, run == 8 || note[0] == '-') << got;
            EXPECT_EQ(got.find(note), got.rfind(note)) << got;
        }
    }
}

// A quoted pattern: the logs it matches, never their rotated generations as
// logs of their own, and a log made later, read from its start; a directory
// operand takes the logs in it alike. A log whose files are all gone leaves
// the state.
TEST_F(Follow, APatternTakesLogsMadeLaterButNotGenerations) {
    const std::string dir = mDir.file("app"), state = "--state=" + mDir.file("s.state");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    write(dir + "/app.log", 0, 1);
    write(dir + "/app.log.1", 50, 50);
    write(dir + "/app-20261209.log", 60, 60);
    const pid_t follower = start({state, dir + "/*.log"}, 1), whole = start({dir}, 2);
    ASSERT_TRUE(eventually([&] { return printed(1, 1) && printed(2, 1); }));
    write(dir + "/later.log", 2, 3);
    ASSERT_TRUE(eventually([&] { return printed(1, 3) && printed(2, 3); }));
    ASSERT_EQ(::unlink((dir + "/later.log").c_str()), 0);
    int record = 100;
    // Each record a save: in time, the state holds nothing of it, in any copy.
    EXPECT_TRUE(eventually([&] {
        write(dir + "/app.log", record, record);
        const bool shown = eventually([&] { return printed(1, record); });
        ++record;
        const std::string kept = readFile(mDir.file("s.state"));
        return shown && kept.find("app.log") != std::string::npos &&
               kept.find("later.log") == std::string::npos;
    }));
    stop(follower);
    stop(whole);
    for (int run : {1, 2}) {
        std::map<int, std::string> seen = records(run);
        EXPECT_EQ(seen.count(0) + seen.count(1) + seen.count(2) + seen.count(3), 4u);
        EXPECT_EQ(seen.count(50) + seen.count(60), 0u) << readFile(output(run));
    }
}

// Three writers at a time while logrotate rotates the log twelve times
// (compressed one rotation later); the follower is stopped (SIGSTOP) through
// six rotations, then ended with SIGTERM and, while writers write, SIGKILL,
// and started again each time: every record is printed, once across SIGSTOP
// and SIGTERM, at most the last one twice (with the same key) across SIGKILL.
TEST_F(Follow, StopsAndRestartsUnderWritersAndRotations) {
    const std::string log = mDir.file("busy.log"), conf = mDir.file("rotate.conf");
    writeFile(conf, log + " {\n rotate 99\n compress\n delaycompress\n nocreate\n missingok\n}\n");
    int written = 0;
    // Three writers of 25 records each; once the log exists it is rotated
    // while they write; `during` runs before they are waited for.
    auto round = [&](const std::function<void()>& during) {
        std::vector<std::unique_ptr<RoleProcess>> writers;
        for (int w = 0; w < 3; ++w, written += 25) {
            writers.push_back(std::make_unique<RoleProcess>(
                "follow-writer", std::vector<std::string>{log, std::to_string(written),
                                                          std::to_string(written + 24)}));
        }
        EXPECT_TRUE(eventually([&] { return fileExists(log); }));
        EXPECT_EQ(runProcess({"/usr/sbin/logrotate", "-f", "-s", mDir.file("rotate.state"), conf}),
                  0);
        during();
        for (auto& writer : writers) {
            EXPECT_EQ(writer->wait(), 0);
        }
    };
    auto missing = [&](std::vector<int> runs) {
        std::set<int> seen;
        const std::string mark = "\"record ";
        for (int run : runs) {
            const std::string out = readFile(output(run));
            for (auto at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1)) {
                seen.insert(std::atoi(out.c_str() + at + mark.size()));
            }
        }
        int count = 0;
        for (int i = 0; i < written; ++i) {
            count += seen.count(i) == 0;
        }
        return count;
    };
    const std::string state = "--state=" + mDir.file("a.state");
    pid_t follower = start({state, log}, 1);
    // Ready before the first record: generations older than the follower are not its.
    ASSERT_TRUE(eventually([&] { return said(1, "waiting for it to appear"); }));
    for (int r = 0; r < 12; ++r) {
        if (r == 3) {
            ::kill(follower, SIGSTOP);
        } else if (r == 9) {
            ::kill(follower, SIGCONT);
            ASSERT_TRUE(eventually([&] { return missing({1}) == 0; }))
                << missing({1}) << " of " << written << " records lost by the stopped follower";
            stop(follower);
            follower = start({state, log}, 2);
        }
        round([&] {
            if (r == 10) {
                ::kill(follower, SIGKILL);
                wait(follower);
                follower = start({state, log}, 3);
            }
        });
        ASSERT_FALSE(HasFailure());
    }
    ASSERT_TRUE(eventually([&] { return missing({1, 2, 3}) == 0; })) << missing({1, 2, 3});
    stop(follower);

    std::map<int, std::string> runs[3] = {records(1), records(2), records(3)};
    int repeats = 0;
    for (const auto& record : runs[1]) {
        EXPECT_EQ(runs[0].count(record.first), 0u)
            << "printed again after SIGTERM: " << record.first;
        if (runs[2].count(record.first) != 0) {
            ++repeats;
            EXPECT_EQ(runs[2][record.first], record.second) << "a repeat with another key";
        }
    }
    EXPECT_LE(repeats, 1);
    for (const auto& record : runs[0]) {
        EXPECT_EQ(runs[2].count(record.first), 0u) << "printed again: " << record.first;
    }
}

// Stopped while the rotation's count is exceeded: the generations deleted
// before the follower opened them are lost, and it says so; the rest come.
TEST_F(Follow, AGapInTheChainIsNamed) {
    const std::string log = mDir.file("a.log"), conf = mDir.file("rotate.conf");
    writeFile(conf, log + " {\n rotate 2\n nocreate\n}\n");
    write(log, 0, 0);
    pid_t follower = start({log}, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 0); }));
    ::kill(follower, SIGSTOP);
    for (int i = 1; i <= 5; ++i) {
        write(log, i, i);
        ASSERT_EQ(runProcess({"/usr/sbin/logrotate", "-f", "-s", mDir.file("state"), conf}), 0);
    }
    ::kill(follower, SIGCONT);
    ASSERT_TRUE(eventually([&] { return printed(1, 5); }));
    stop(follower);
    EXPECT_TRUE(said(1, "was deleted by the rotation")) << readFile(messages(1));
    // Record 1 went into the generation read when it stopped; 2 and 3 into
    // the two deleted before it looked again.
    std::map<int, std::string> seen = records(1);
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen.count(1) + seen.count(4) + seen.count(5), 3u);
}

// In a shared (1777) directory, while the follower is down, the log is
// rotated, a neighbour drops a file named as a newer generation, a copy and a
// file compressed otherwise lie beside it, and the new generation belongs to
// a user named only by --owner; in a group-writable (2770) directory a group
// member puts a link to a root-only file where the log was. Only the log's
// own records are printed, and what was passed over is named.
TEST_F(Follow, ReadsOnlyTheLogsOwnFiles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: files and links of other users";
    }
    const std::string shared = mDir.file("shared"), log = shared + "/a.log";
    const std::string state = "--state=" + mDir.file("s.state");
    followedInASharedDirectory(log, state);

    ASSERT_EQ(::rename(log.c_str(), (log + ".2").c_str()), 0);
    writeFile(log + ".1", "1\t2026/12/06\t17:05:09\tforged=yes\n");
    ASSERT_EQ(::chown((log + ".1").c_str(), 65534, 65534), 0);
    writeFile(shared + "/a.log.bak", readFile(log + ".2"));
    writeFile(log + ".3.lz4", "not lz4");
    write(log, 2, 2);
    ASSERT_EQ(::chown(log.c_str(), 61001, 61001), 0);

    pid_t follower = start({state, log}, 2);
    ASSERT_TRUE(eventually([&] { return said(2, "61001"); })) << readFile(messages(2));
    stop(follower);
    EXPECT_TRUE(said(2, log + ".1")) << "the forged generation is not named";
    EXPECT_TRUE(said(2, log + ".3.lz4")) << "the compression it cannot read is not named";

    const std::string group = mDir.file("group"), other = group + "/b.log";
    const std::string secret = mDir.file("secret");
    ASSERT_EQ(::mkdir(group.c_str(), 0700), 0);
    ASSERT_EQ(::chown(group.c_str(), 0, 65534), 0);
    ASSERT_EQ(::chmod(group.c_str(), 02770), 0);
    writeFile(secret, "1\t2026/12/06\t17:05:09\tsecret=yes\n");
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    write(other, 10, 10);
    follower = start({state, "--owner", "61001", log, other}, 3);
    ASSERT_TRUE(eventually([&] { return printed(3, 2) && printed(3, 10); }));
    ASSERT_EQ(::rename(other.c_str(), (other + ".1").c_str()), 0);
    // The member's link appears whole: made aside, given away, then renamed
    // into place, so that the follower never meets it while it is root's.
    const std::string aside = group + "/.b.log.new";
    ASSERT_EQ(::symlink(secret.c_str(), aside.c_str()), 0);
    ASSERT_EQ(::lchown(aside.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::rename(aside.c_str(), other.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return said(3, "link"); })) << readFile(messages(3));
    ASSERT_EQ(::unlink(other.c_str()), 0);
    write(other, 11, 11);
    ASSERT_TRUE(eventually([&] { return printed(3, 11); }));
    stop(follower);

    const std::string out = readFile(output(2)) + readFile(output(3));
    EXPECT_EQ(out.find("forged"), std::string::npos) << out;
    EXPECT_EQ(out.find("secret"), std::string::npos) << out;
    EXPECT_EQ(records(2).size(), 0u);
    std::map<int, std::string> third = records(3);
    EXPECT_EQ(third.size(), 3u) << "the copy shipped again? " << out;
}

// A group member's link one directory up leads root's follower nowhere: it
// says whose link it is and prints nothing of the file behind it.
TEST_F(Follow, AnotherUsersLinkAboveTheLogIsNotFollowed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: links of other users";
    }
    const std::string secret = mDir.file("secret"), group = mDir.file("group");
    ASSERT_EQ(::mkdir(secret.c_str(), 0700), 0);
    writeFile(secret + "/app.log", "1\t2026/12/06\t17:05:09\tsecret=yes\n");
    ASSERT_EQ(::mkdir(group.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(group.c_str(), 02770), 0);
    ASSERT_EQ(::symlink(secret.c_str(), (group + "/sub").c_str()), 0);
    ASSERT_EQ(::lchown((group + "/sub").c_str(), 61001, 61001), 0);
    const pid_t follower = start({"--state=" + mDir.file("s.state"), group + "/sub/app.log"}, 1);
    ASSERT_TRUE(eventually([&] { return said(1, "is a link that belongs to uid 61001"); }))
        << readFile(messages(1));
    stop(follower);
    EXPECT_EQ(readFile(output(1)).find("secret"), std::string::npos) << readFile(output(1));
}

// In a shared directory, while the follower is down, the log is rotated and
// compressed and a neighbour makes a plain namesake of the rotated file: the
// genuine compressed generation is read, the namesake named and passed over.
TEST_F(Follow, AForeignNamesakeHidesNoGeneration) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: files of other users";
    }
    const std::string shared = mDir.file("shared"), log = shared + "/a.log";
    const std::string state = "--state=" + mDir.file("s.state");
    followedInASharedDirectory(log, state);
    write(log, 2, 3);
    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(runProcess({"gzip", log + ".1"}), 0);
    writeFile(log + ".1", "1\t2026/12/06\t17:05:09\tforged=yes\n");
    ASSERT_EQ(::chown((log + ".1").c_str(), 65534, 65534), 0);
    write(log, 4, 4);
    const pid_t follower = start({state, log}, 2);
    ASSERT_TRUE(eventually([&] { return printed(2, 4); })) << readFile(messages(2));
    stop(follower);
    EXPECT_EQ(records(2).size(), 3u) << readFile(output(2)) << readFile(messages(2));
    EXPECT_TRUE(said(2, log + ".1:")) << readFile(messages(2));
}

// A generation watched for late writes when the follower stopped, deleted
// before it starts again: named, with what may be lost.
TEST_F(Follow, AWatchedGenerationThatVanishedIsNamed) {
    const std::string log = mDir.file("a.log"), state = "--state=" + mDir.file("a.state");
    write(log, 0, 0);
    pid_t follower = start({state, log}, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 0); }));
    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    write(log, 1, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 1); }));
    stop(follower);
    const long read = fileSize(log + ".1");
    ASSERT_EQ(::unlink((log + ".1").c_str()), 0);
    follower = start({state, log}, 2);
    const std::string gone = log + ": a generation watched for late writes (read up to byte " +
                             std::to_string(read) + ") is gone";
    EXPECT_TRUE(eventually([&] { return said(2, gone); })) << readFile(messages(2));
    stop(follower);
}

// --state never names something it would destroy: a LOGFILE, a file of other
// content, a FIFO. A state of the first format is still read, and its keys kept.
TEST_F(Follow, StateThatWouldDestroySomethingIsRefused) {
    const std::string log = mDir.file("a.log"), notes = mDir.file("notes.txt");
    const std::string fifo = mDir.file("fifo"), old = mDir.file("old.state");
    write(log, 0, 1);
    const std::string logText = readFile(log);
    writeFile(notes, "my notes\n");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Generations spelled otherwise: the directory through "." or "//", or
    // through a link to it.
    const std::string link = mDir.file("link");
    ASSERT_EQ(::symlink(mDir.path().c_str(), link.c_str()), 0);
    for (const std::string& state :
         {log, notes, fifo, mDir.path() + "/./a.log.1", mDir.path() + "//a.log.2.gz",
          link + "/a.log.3", link + "/a.log"}) {
        CapturedProcess run =
            runCaptured({"timeout", "60", ZORVLOG_EXE, "follow", "--state", state, log});
        EXPECT_EQ(run.status, 1) << state;
        EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(state), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(readFile(log), logText);
    EXPECT_EQ(readFile(notes), "my notes\n");

    const std::string first = splitLines(logText)[0] + "\n";
    struct stat st;
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    char line[512];
    std::snprintf(line, sizeof line, "%016llx %016llx 0123456789abcdef %016zx %016x %08lx %s\n",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino), first.size(), 1,
                  crc32(0, reinterpret_cast<const Bytef*>(first.data()), first.size()),
                  log.c_str());
    char header[64];
    std::snprintf(header, sizeof header, "zorvlog follow state 1 %08zx %08lx\n", std::strlen(line),
                  crc32(0, reinterpret_cast<const Bytef*>(line), std::strlen(line)));
    writeFile(old, std::string(header) + line);
    pid_t follower = start({"--state", old, log}, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 1); }));
    stop(follower);
    std::map<int, std::string> resumed = records(1);
    EXPECT_EQ(resumed.size(), 1u) << readFile(output(1));
    // The identity that state gave the generation stays its records'.
    EXPECT_EQ(resumed[1].substr(0, 17), "0123456789abcdef:");
}

// The state on a file system that fills up while the follower runs: the
// room it can grow to is its own from the start, so rotations that add
// watched generations still save whole and a restart prints only what is
// new; a new state on the full file system cannot have its room and refuses
// to start.
TEST_F(Follow, StateOnAFileSystemThatFillsUpStaysWhole) {
    const std::string small = mDir.file("small"), problems = mDir.file("problems");
    const int logs = 20;
    auto logPath = [&](int i) { return mDir.file("l" + std::to_string(i) + ".log"); };
    auto allPrinted = [&](int run, int record) {
        for (int i = 0; i < logs; ++i) {
            if (!printed(run, 100 * i + record)) {
                return false;
            }
        }
        return true;
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A namespace of its own; no test macros here, what is wrong goes to a file.
        std::string why, wrong;
        if (!mountTmpfs(small, "128k", &why)) {
            writeFile(problems, "skip:" + why);
            ::_exit(0);
        }
        std::vector<std::string> args{"--state", small + "/f.state"};
        for (int i = 0; i < logs; ++i) {
            writeFile(logPath(i), debugLine(100 * i + 1) + debugLine(100 * i + 2));
            args.push_back(logPath(i));
        }
        pid_t follower = start(args, 1);
        if (!eventually([&] { return allPrinted(1, 2); }) || !fillUp(small)) {
            wrong += "the first records were not printed; ";
        }
        for (int i = 0; i < logs; ++i) {
            std::rename(logPath(i).c_str(), (logPath(i) + ".1").c_str());
            writeFile(logPath(i), debugLine(100 * i + 3) + debugLine(100 * i + 4));
        }
        if (!eventually([&] { return allPrinted(1, 4); })) {
            wrong += "the records after the rotation were not printed; ";
        }
        ::kill(follower, SIGTERM);
        wait(follower);
        for (int i = 0; i < logs; ++i) {
            append(logPath(i), debugLine(100 * i + 5));
        }
        follower = start(args, 2);
        if (!eventually([&] { return allPrinted(2, 5); })) {
            wrong += "the restart did not print the new records; ";
        }
        ::kill(follower, SIGTERM);
        wait(follower);
        if (splitLines(readFile(output(2))).size() != logs) {
            wrong += "the restart repeated records: " + readFile(messages(2));
        }
        if (said(1, "cannot write") || said(2, "read back")) {
            wrong += "a save failed: " + readFile(messages(1)) + readFile(messages(2));
        }
        const CapturedProcess refused = runCaptured(
            {"timeout", "60", ZORVLOG_EXE, "follow", "--state", small + "/g.state", logPath(0)});
        if (refused.status != 1 || splitLines(refused.err).size() != 1 ||
            refused.err.find(std::strerror(ENOSPC)) == std::string::npos) {
            wrong += "a state without room was taken: " + refused.err;
        }
        ::umount2(small.c_str(), MNT_DETACH);
        writeFile(problems, wrong);
        ::_exit(0);
    }
    ASSERT_EQ(waitProcess(child), 0);
    const std::string report = readFile(problems);
    if (report.compare(0, 5, "skip:") == 0) {
        GTEST_SKIP() << report.substr(5);
    }
    EXPECT_EQ(report, "");
}

// Zero bytes after the first records (what a crash leaves), one NUL byte
// written by anyone, a rotated .gz cut short after or before where the
// restarted follower resumes: each is named with its file, offset and
// length, and everything around it is printed, nothing twice.
TEST_F(Follow, DamageIsReportedAndPassed) {
    const std::string a = mDir.file("a.log"), b = mDir.file("b.log"), c = mDir.file("c.log");
    const std::string d = mDir.file("d.log"), state = "--state=" + mDir.file("s.state");
    write(a, 0, 1);
    const long zerosAt = fileSize(a);
    append(a, std::string(4096, '\0'));
    write(a, 2, 5);
    write(b, 10, 10);
    append(b, std::string(1, '\0'));
    write(b, 11, 12);
    write(c, 20, 29);
    write(d, 300, 399);
    pid_t follower = start({state, a, b, c, d}, 1);
    ASSERT_TRUE(eventually(
        [&] { return printed(1, 5) && printed(1, 12) && printed(1, 29) && printed(1, 399); }));
    stop(follower);
    EXPECT_TRUE(said(1, a + ": 4096 zero bytes at byte " + std::to_string(zerosAt)))
        << readFile(messages(1));
    EXPECT_EQ(records(1).size(), 119u);

    write(c, 30, 99);
    ASSERT_EQ(::rename(c.c_str(), (c + ".1").c_str()), 0);
    ASSERT_EQ(runProcess({"gzip", c + ".1"}), 0);
    ASSERT_EQ(::truncate((c + ".1.gz").c_str(), fileSize(c + ".1.gz") / 2), 0);
    write(c, 100, 100);
    // Cut short before where reading stood: nothing of it again, the next one read.
    ASSERT_EQ(::rename(d.c_str(), (d + ".1").c_str()), 0);
    ASSERT_EQ(runProcess({"gzip", d + ".1"}), 0);
    ASSERT_EQ(::truncate((d + ".1.gz").c_str(), fileSize(d + ".1.gz") * 3 / 4), 0);
    write(d, 400, 400);
    follower = start({state, a, b, c, d}, 2);
    ASSERT_TRUE(eventually([&] { return printed(2, 100) && printed(2, 400); }))
        << readFile(messages(2));
    stop(follower);
    EXPECT_TRUE(said(2, c + ".1.gz: the compressed data ends early")) << readFile(messages(2));
    EXPECT_TRUE(said(2, d + ".1.gz: the compressed data ends before byte"))
        << readFile(messages(2));
    // A repeat is a record under a key already printed; a line torn where a
    // compressed file ends early may read like an earlier record's text.
    std::set<std::string> first;
    for (const std::string& line : splitLines(readFile(output(1)))) {
        first.insert(nlohmann::json::parse(line).at("key").get<std::string>());
    }
    for (const std::string& line : splitLines(readFile(output(2)))) {
        EXPECT_EQ(first.count(nlohmann::json::parse(line).at("key").get<std::string>()), 0u)
            << "printed again: " << line;
    }
}

// A rotated file dated in the future (a clock stepped back) and a neighbour
// that keeps writing into a rotated file hold nothing back; the neighbour's
// late records come too, keyed by their own generation.
TEST_F(Follow, NoDecisionWaitsOnAFilesTime) {
    const std::string log = mDir.file("a.log");
    write(log, 0, 0);
    pid_t follower = start({log}, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 0); }));
    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    const struct timespec hourAhead[2] = {{::time(nullptr) + 3600, 0}, {::time(nullptr) + 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (log + ".1").c_str(), hourAhead, 0), 0);
    write(log, 1, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 1); }));

    const std::uint64_t lateFrom = static_cast<std::uint64_t>(fileSize(log));
    const int late = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(late, 0);
    ASSERT_EQ(::rename((log + ".1").c_str(), (log + ".2").c_str()), 0);
    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    write(log, 2, 2);
    int polls = 0, lateRecord = 100;
    auto writeLate = [&] {
        const std::string line = debugLine(lateRecord++);
        EXPECT_EQ(::write(late, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    };
    ASSERT_TRUE(eventually([&] {
        if (polls++ % 25 == 0) {
            writeLate();
        }
        return printed(1, 2);
    }));
    writeLate();
    ::close(late);
    ASSERT_TRUE(eventually([&] { return printed(1, lateRecord - 1); }));
    stop(follower);
    std::map<int, std::string> seen = records(1);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(3 + lateRecord - 100));
    // The late records come after record 1 in its generation; record 2 starts another.
    auto offset = [&](int i) { return std::stoull(seen[i].substr(17)); };
    EXPECT_EQ(offset(2), 0u);
    EXPECT_EQ(offset(100), lateFrom);
    for (int i = 101; i < lateRecord; ++i) {
        EXPECT_GT(offset(i), offset(i - 1)) << i;
    }
}

// Time bounds that are the behaviour itself (run alone).
class FollowTiming : public Follow {};

// A 64 MiB hole appended to the followed log, then a generation of 16 GiB of
// zero bytes behind its records (a few megabytes of gzip): memory stays
// within 64 MiB, and SIGTERM while it reads the zeros ends it within a second
// (five allowed).
TEST_F(FollowTiming, HoleAndHugeInputInBoundedMemoryAndStopsWithinASecond) {
    const std::string log = mDir.file("a.log");
    write(log, 0, 0);
    pid_t follower = start({log}, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 0); }));
    const long holeAt = fileSize(log);
    ASSERT_EQ(::truncate(log.c_str(), holeAt + (64L << 20)), 0);
    write(log, 1, 1);
    ASSERT_TRUE(eventually([&] { return printed(1, 1); }));
    EXPECT_TRUE(said(1, log + ": 67108864 zero bytes at byte " + std::to_string(holeAt)))
        << readFile(messages(1));

    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    writeGzip(log, {{debugLine(2) + debugLine(3), 1}, {std::string(64 << 20, '\0'), 256}});
    ASSERT_TRUE(eventually([&] { return printed(1, 2); }));
    const auto stopped = std::chrono::steady_clock::now();
    ::kill(follower, SIGTERM);
    long peakKb = 0;
    EXPECT_EQ(wait(follower, &peakKb), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s);
    if (!kSanitized) {
        EXPECT_LE(peakKb, 64 * 1024);
    }
}

} // namespace
} // namespace zorvtest
