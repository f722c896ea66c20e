// Disk and file faults: a full device, a full file system, a directory gone,
// a file that may not be written, a directory where the file was. log must
// return, earlier lines stay as they were, and logging resumes once the
// fault is gone.

#include "StressSupport.h"
#include "support/TestSupport.h"

#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The records of writer in the text, or -1 when the text is not whole.
long wholeRecords(const std::string& text, const std::string& writer,
                  const std::set<std::string>& mayTear = {}) {
    const stress::LogCheck check = stress::checkRecordLog(text, mayTear);
    if (!check.ok()) {
        ADD_FAILURE() << check.summary();
        return -1;
    }
    auto found = check.records.find(writer);
    return found == check.records.end() ? 0 : static_cast<long>(found->second.size());
}

// The wait limit the logger gives its mutex.
constexpr long long kLockLimitMs = 10000;

} // namespace

TEST(StressFaults, DevFullAsTheLogFile) {
    zorvtest::TempDir dir;
    // Straight at the device, and through a link that is later replaced by a
    // file of its own: the fault goes away.
    stress::writeRecords("/dev/full", "f", 0, 3);
    const std::string file = dir.file("full.log");
    ASSERT_EQ(::symlink("/dev/full", file.c_str()), 0);
    stress::writeRecords(file, "f", 0, 3);
    {
        // A section with milliseconds and a record through the same logger
        // again and again: nothing stays stuck.
        ZorvLogger logger(false);
        logger.setLogFileName(TStr(file.c_str()));
        logger.startLoggingWMilliSecs();
        for (long seq = 0; seq < 3; ++seq) {
            stress::StressRecord record("g", seq);
            logger.log(record);
        }
        ASSERT_EQ(::unlink(file.c_str()), 0);
        stress::StressRecord record("g", 3);
        logger.log(record);
    }
    EXPECT_EQ(wholeRecords(zorvtest::readFile(file), "g"), 1);
}

// A tmpfs of 128 KiB filled to the last byte, in a private mount namespace
// of a child (root only; skipped where namespaces or mounts are not allowed).
TEST(StressFaults, FullFileSystemKeepsEarlierLinesAndRecovers) {
    const std::string report = stress::runInChild(
        []() -> std::string {
            if (::geteuid() != 0) {
                return "skip:needs root to mount a tmpfs";
            }
            if (::unshare(CLONE_NEWNS) != 0) {
                return std::string("skip:unshare: ") + std::strerror(errno);
            }
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                return std::string("skip:private mounts: ") + std::strerror(errno);
            }
            zorvtest::TempDir mountPoint;
            if (::mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=128k,mode=0700") !=
                0) {
                return std::string("skip:mount tmpfs: ") + std::strerror(errno);
            }
            const std::string file = mountPoint.file("full.log");
            const std::string filler = mountPoint.file("filler");
            stress::writeRecords(file, "e", 0, 4);
            const std::string earlier = zorvtest::readFile(file);

            // To the brim: big pieces, then single bytes.
            int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
            if (fd < 0) {
                return "cannot create the filler";
            }
            const std::string block(4096, 'x');
            while (::write(fd, block.data(), block.size()) > 0) {
            }
            while (::write(fd, "x", 1) == 1) {
            }
            ::close(fd);

            stress::writeRecords(file, "x", 0, 6);
            std::string text = zorvtest::readFile(file);
            std::string problems;
            if (text.compare(0, earlier.size(), earlier) != 0) {
                problems += "earlier lines changed while the disk was full; ";
            }
            ::unlink(filler.c_str());
            stress::writeRecords(file, "y", 0, 3);
            text = zorvtest::readFile(file);
            if (text.compare(0, earlier.size(), earlier) != 0) {
                problems += "earlier lines changed after the disk had room again; ";
            }
            const stress::LogCheck check = stress::checkRecordLog(text, {"x"});
            if (!check.ok()) {
                problems += "log not whole: " + check.summary() + "; ";
            }
            if (check.records.count("e") == 0 || check.records.at("e").size() != 4 ||
                check.records.count("y") == 0 || check.records.at("y").size() != 3) {
                problems += "records missing: " + check.summary() + "; ";
            }
            if (check.records.count("x") != 0 && check.records.at("x").size() == 6) {
                problems += "the disk was never full; ";
            }
            ::umount2(mountPoint.path().c_str(), MNT_DETACH);
            return problems;
        },
        120000);
    if (report.compare(0, 5, "skip:") == 0) {
        GTEST_SKIP() << report.substr(5);
    }
    EXPECT_EQ(report, "");
}

TEST(StressFaults, DirectoryRemovedBetweenRecords) {
    zorvtest::TempDir dir;
    const std::string sub = dir.file("sub");
    const std::string file = sub + "/gone.log";
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);

    ZorvLogger logger(false);
    logger.setLogFileName(TStr(file.c_str()));
    logger.startLogging();
    stress::StressRecord first("a", 0);
    logger.log(first);
    ASSERT_EQ(::unlink(file.c_str()), 0);
    ASSERT_EQ(::rmdir(sub.c_str()), 0);
    stress::StressRecord lost("a", 1);
    logger.log(lost); // returns; the library creates no directories
    EXPECT_FALSE(zorvtest::fileExists(sub));
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    stress::StressRecord back("a", 2);
    logger.log(back);
    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file));
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.seqs("a"), (std::set<long>{2}));
}

// Root ignores file modes, so the writer is a child that has become nobody.
TEST(StressFaults, ReadOnlyFileForAWriterThatIsNobody) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as nobody";
    }
    zorvtest::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0); // nobody must reach the file
    const std::string file = dir.file("readonly.log");
    stress::writeRecords(file, "e", 0, 3);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    const std::string earlier = zorvtest::readFile(file);

    zorvtest::ChildSetup asNobody;
    asNobody.runAs = &zorvtest::kNobody;
    zorvtest::RoleProcess refused("append", {file, "n", "0", "3"}, asNobody);
    EXPECT_EQ(refused.wait(zorvtest::kEventLimitMs), 0) << "log did not return, or it crashed";
    EXPECT_EQ(zorvtest::readFile(file), earlier);

    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    zorvtest::RoleProcess allowed("append", {file, "n", "3", "2"}, asNobody);
    EXPECT_EQ(allowed.wait(zorvtest::kEventLimitMs), 0);
    const std::string text = zorvtest::readFile(file);
    EXPECT_EQ(text.compare(0, earlier.size(), earlier), 0);
    const stress::LogCheck check = stress::checkRecordLog(text);
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.seqs("n"), (std::set<long>{3, 4}));
    EXPECT_EQ(check.seqs("e").size(), 3u);
}

TEST(StressFaults, FileReplacedByADirectory) {
    zorvtest::TempDir dir;
    const std::string file = dir.file("dir.log");
    ZorvLogger logger(false);
    logger.setLogFileName(TStr(file.c_str()));
    logger.startLogging();
    stress::StressRecord first("a", 0);
    logger.log(first);
    const std::string earlier = zorvtest::readFile(file);
    ASSERT_EQ(wholeRecords(earlier, "a"), 1);

    ASSERT_EQ(::rename(file.c_str(), dir.file("kept.log").c_str()), 0);
    ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
    stress::StressRecord lost("a", 1);
    logger.log(lost);
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(zorvtest::readFile(dir.file("kept.log")), earlier);

    ASSERT_EQ(::rmdir(file.c_str()), 0);
    stress::StressRecord back("a", 2);
    logger.log(back);
    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file));
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.seqs("a"), (std::set<long>{2}));
}

// A writer stopped (Ctrl-Z, a breakpoint) inside its record, holding the
// file's lock: the other writers' records wait out the lock's limit (10 s)
// once at most, not once per record, and stay out of the stopped one's,
// which reaches the file whole once it goes on. Waits are counted: one that
// ran out lasted the limit, the others last a fraction of it.
TEST(LongFaultsTiming, AStoppedHolderCostsOneWaitAndItsRecordStaysWhole) {
    zorvtest::TempDir dir;
    const std::string file = dir.file("stopped.log");
    zorvtest::RoleProcess holder("stopped", {file, "h"});
    ASSERT_TRUE(zorvtest::eventually([&] { return zorvtest::processState(holder.pid()) == 'T'; }));
    ZorvLogger logger(false);
    logger.setLogFileName(TStr(file.c_str()));
    logger.startLogging();
    int limitsWaitedOut = 0;
    for (long seq = 0; seq < 3; ++seq) {
        const auto start = std::chrono::steady_clock::now();
        logger.log(stress::StressRecord("o", seq));
        limitsWaitedOut +=
            std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(kLockLimitMs / 2);
    }
    EXPECT_LE(limitsWaitedOut, 1) << "each record waited for the stopped holder";
    holder.kill(SIGCONT);
    ASSERT_EQ(holder.wait(zorvtest::kEventLimitMs), 0);
    EXPECT_EQ(wholeRecords(zorvtest::readFile(file), "o"), 3);
    EXPECT_EQ(wholeRecords(zorvtest::readFile(file), "h"), 1);
}
