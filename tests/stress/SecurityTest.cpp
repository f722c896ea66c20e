// Where the library puts files of its own, and what it does with files that
// someone else placed where its own would go. The named mutex's own refusals
// are proven in the utility library's suite; here, what a logger makes of
// them and of the directories it creates.

#include "RefusalCount.h"
#include "StressSupport.h"
#include "support/TestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvMutex.h>
#include <zorv/ZorvPerfLog.h>
#include <zorv/ZorvPerfLogger.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>

#include <cstddef>
#include <iterator>

#include <dirent.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Makes the process's working directory dir for the life of the object.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir) {
        char buf[4096];
        mOld = ::getcwd(buf, sizeof buf) != nullptr ? buf : "/";
        mOk = ::chdir(dir.c_str()) == 0;
    }
    ~ScopedCwd() {
        if (::chdir(mOld.c_str()) != 0) {
            ADD_FAILURE() << "cannot return to " << mOld;
        }
    }
    bool ok() const { return mOk; }

private:
    std::string mOld;
    bool mOk;
};

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : mOld(::umask(mask)) {}
    ~ScopedUmask() { ::umask(mOld); }

private:
    mode_t mOld;
};

// Logs one debug and one performance record through the default loggers.
void logThroughDefaultLoggers() {
    ZorvDebugLogger debug;
    debug.startLogging();
    ZorvDebugLog message(Zorv::kZorvCore, TStr("secret"));
    debug.log(message);
    ZorvPerfLogger perf;
    perf.startLogging();
    ZorvPerfLog row(Zorv::kZorvCore, ZorvPerfLogData());
    perf.log(row);
}

std::string mutexDirectory() {
    return "/dev/shm/zorv-" + std::to_string(::geteuid());
}

// The entry of the logger's mutex for a log of that name.
std::string mutexFileOf(const std::string& logName) {
    return mutexDirectory() + "/" + logName + ".Mutex.v2";
}

// A log file name of this test alone, so that its mutex file is ours to stage.
std::string uniqueLogName(const std::string& what) {
    return "stress-" + std::to_string(::getpid()) + "-" + what + ".log";
}

// The mutex directory exists once any mutex has been created; the probe's own
// file is removed again.
bool ensureMutexDirectory() {
    const std::string name = "stress-" + std::to_string(::getpid()) + "-probe";
    ZorvMutex m;
    const bool created = m.create(TStr(name.c_str()));
    m.close();
    ::unlink((mutexDirectory() + "/" + name + ".v2").c_str());
    return created;
}

// Two users that exist nowhere else and a group they share, for the cases
// where members of one group write into one directory.
constexpr uid_t kUserA = 61001;
constexpr uid_t kUserB = 61002;
constexpr gid_t kSharedGroup = 61000;

// Runs body in a child as that user, with the shared group as its only group
// and the umask of a user who shares files with the group.
std::string asUser(uid_t uid, const std::function<std::string()>& body) {
    return stress::runInChild(
        [&]() -> std::string {
            ::umask(002);
            if (::setgroups(0, nullptr) != 0 || ::setgid(kSharedGroup) != 0 || ::setuid(uid) != 0) {
                return "cannot become uid " + std::to_string(uid);
            }
            return body();
        },
        30000);
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

} // namespace

// Without a usable local data directory the default logs have no place: no
// file may land in the working directory, which may well be /tmp.
TEST(StressSecurity, DefaultLogsWithoutALocationWriteNowhere) {
    zorvtest::IsolatedHome home;
    zorvtest::TempDir open;
    ASSERT_EQ(::chmod(open.path().c_str(), 01777), 0);
    ScopedCwd cwd(open.path());
    ASSERT_TRUE(cwd.ok());
    zorvtest::ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    zorvtest::ScopedEnv perf("ZORV_PERF_LOG", "1");
    {
        zorvtest::ScopedEnv data("XDG_DATA_HOME", nullptr);
        zorvtest::ScopedEnv noHome("HOME", nullptr);
        logThroughDefaultLoggers();
        EXPECT_EQ(entries(open.path()), std::vector<std::string>());
    }
    {
        // Relative values count as unset.
        zorvtest::ScopedEnv data("XDG_DATA_HOME", "data");
        zorvtest::ScopedEnv relHome("HOME", "home");
        logThroughDefaultLoggers();
        EXPECT_EQ(entries(open.path()), std::vector<std::string>());
    }
}

// The directories the default loggers create are closed to others even when
// the process runs with an open umask.
TEST(StressSecurity, CreatedDataDirectoriesAreClosedToOthers) {
    zorvtest::IsolatedHome home;
    zorvtest::TempDir dir;
    zorvtest::ScopedEnv data("XDG_DATA_HOME", (dir.path() + "/a/b").c_str());
    zorvtest::ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    ScopedUmask mask(0);
    logThroughDefaultLoggers();
    ASSERT_TRUE(zorvtest::fileExists(dir.path() + "/a/b/zorv/ZorvDebug.log"));
    for (const char* d : {"/a", "/a/b", "/a/b/zorv"}) {
        EXPECT_EQ(modeOf(dir.path() + d) & S_IWOTH, 0u) << d << " is writable by others";
    }
}

// A data directory pointed at a place everyone may write to: the "zorv"
// directory there may have been made by someone else, or be a link to
// somewhere else. The default logs must not end up in it; but a link of the
// user's own to the user's own directory is the user's choice.
TEST(StressSecurity, DefaultLogsRefuseADataDirectoryTheUserDoesNotOwnAlone) {
    zorvtest::IsolatedHome home;
    zorvtest::TempDir shared;
    ASSERT_EQ(::chmod(shared.path().c_str(), 01777), 0);
    zorvtest::ScopedEnv data("XDG_DATA_HOME", shared.path().c_str());
    zorvtest::ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    zorvtest::ScopedEnv perf("ZORV_PERF_LOG", "1");
    const std::string planted = shared.path() + "/zorv";

    // Made open to everyone, as another user would leave it.
    ASSERT_EQ(::mkdir(planted.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(planted.c_str(), 0777), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(planted.c_str(), zorvtest::kNobody.uid, zorvtest::kNobody.gid), 0);
    }
    logThroughDefaultLoggers();
    EXPECT_EQ(entries(planted), std::vector<std::string>()) << "a log went into " << planted;
    ASSERT_EQ(::rmdir(planted.c_str()), 0);

    // The user's own link to a directory of the user's own (a dotfile setup)
    // is followed.
    zorvtest::TempDir mine;
    ASSERT_EQ(::symlink(mine.path().c_str(), planted.c_str()), 0);
    logThroughDefaultLoggers();
    EXPECT_EQ(entries(mine.path()), (std::vector<std::string>{"ZorvDebug.log", "ZorvPerfLog.csv"}));
    if (::geteuid() != 0) {
        return; // a link of another user needs root to stage
    }
    // A link of another user's, whatever it points to, is not.
    ASSERT_EQ(::lchown(planted.c_str(), zorvtest::kNobody.uid, zorvtest::kNobody.gid), 0);
    for (const std::string& name : entries(mine.path())) {
        ::unlink((mine.path() + "/" + name).c_str());
    }
    logThroughDefaultLoggers();
    EXPECT_EQ(entries(mine.path()), std::vector<std::string>())
        << "a log followed the link " << planted;
}

// A link planted where the logger's mutex file goes: the records are written,
// the link is replaced by a mutex file, and its target is neither created nor
// changed.
TEST(StressSecurity, LinkInPlaceOfTheLoggersMutexFileIsNotFollowed) {
    ASSERT_TRUE(ensureMutexDirectory());
    zorvtest::TempDir dir;
    const std::string missing = dir.file("missing-target");
    const std::string existing = dir.file("existing-target");
    zorvtest::writeFile(existing, "precious\n");

    for (const std::string& target : {missing, existing}) {
        // A name of its own each time: a name already mapped is looked at
        // again only once a second.
        const std::string name =
            uniqueLogName(target == missing ? "link-missing" : "link-existing");
        const std::string link = mutexFileOf(name);
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
        const std::string file = dir.file(name);
        stress::writeRecords(file, "l", 0, 2);
        const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file));
        EXPECT_TRUE(check.ok()) << check.summary();
        EXPECT_EQ(check.seqs("l").size(), 2u) << "records dropped";
        EXPECT_TRUE(S_ISREG(modeOf(link))) << "the link was left in place";
        ::unlink(link.c_str());
    }
    EXPECT_FALSE(zorvtest::fileExists(missing)) << "the link was followed";
    EXPECT_EQ(zorvtest::readFile(existing), "precious\n");
}

// Another user's file in place of the mutex file (only root could put it in
// the user's private lock place): replaced by one of the user's, and the
// records are written.
TEST(StressSecurity, AnotherUsersMutexFileIsReplacedAndRecordsAreWritten) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to nobody";
    }
    ASSERT_TRUE(ensureMutexDirectory());
    zorvtest::TempDir dir;
    const std::string name = uniqueLogName("owner");
    const std::string mutexFile = mutexFileOf(name);
    // A complete mutex file, set up by a process that is gone, then given
    // away: this process has never mapped it.
    ASSERT_EQ(stress::runInChild(
                  [&]() -> std::string {
                      ZorvMutex m;
                      return m.create(TStr((name + ".Mutex").c_str())) ? "" : "create failed";
                  },
                  30000),
              "");
    ASSERT_EQ(::chown(mutexFile.c_str(), zorvtest::kNobody.uid, zorvtest::kNobody.gid), 0);

    const std::string file = dir.file(name);
    stress::writeRecords(file, "o", 0, 3);
    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file));
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.seqs("o").size(), 3u);
    struct stat st;
    ASSERT_EQ(::lstat(mutexFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    ::unlink(mutexFile.c_str());
}

// A link planted at a log's name in a directory that others may write to is
// followed only when it belongs to the writer or to root: root's record does
// not reach the file a group member's link points at.
TEST(StressSecurity, ALinkPlantedAtTheLogsNameIsFollowedOnlyWhenTrusted) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    zorvtest::IsolatedLocks home;
    zorvtest::TempDir shared, elsewhere;
    ASSERT_EQ(::chown(shared.path().c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(::chmod(shared.path().c_str(), 02770), 0);
    const std::string victim = elsewhere.file("root-only");
    zorvtest::writeFile(victim, "precious\n");
    const std::string log = shared.file("app.log");
    ASSERT_EQ(asUser(kUserA,
                     [&] { return ::symlink(victim.c_str(), log.c_str()) == 0 ? "" : "no link"; }),
              "");
    stress::writeRecords(log, "r", 0, 1);
    EXPECT_EQ(zorvtest::readFile(victim), "precious\n") << "the planted link was followed";
    EXPECT_TRUE(S_ISLNK(modeOf(log)));
    // The same link made by root is followed.
    ASSERT_EQ(::lchown(log.c_str(), 0, 0), 0);
    stress::writeRecords(log, "r", 1, 1);
    EXPECT_EQ(stress::checkRecordLog(zorvtest::readFile(victim).substr(9)).seqs("r"),
              std::set<long>{1});
}

// The data directory the library makes (0770) is written into whatever the
// user's primary group is; since the group may write there too, what another
// member puts at a log's name (a file or a link of theirs) is not written.
TEST(StressSecurity, ASharedGroupsDataDirectoryIsGuardedFileByFile) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    zorvtest::IsolatedHome home;
    zorvtest::TempDir top;
    ASSERT_EQ(::chown(top.path().c_str(), kUserA, kSharedGroup), 0);
    ASSERT_EQ(::chmod(top.path().c_str(), 0770), 0);
    const std::string data = top.path() + "/zorv";
    zorvtest::ScopedEnv dataHome("XDG_DATA_HOME", top.path().c_str());
    zorvtest::ScopedEnv lockDir("ZORV_LOCK_DIR", (top.path() + "/locks").c_str());
    zorvtest::ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    zorvtest::ScopedEnv perf("ZORV_PERF_LOG", "1");
    auto logAsA = [] {
        logThroughDefaultLoggers();
        return std::string();
    };
    ASSERT_EQ(asUser(kUserA, logAsA), "");
    EXPECT_EQ(zorvtest::splitLines(zorvtest::readFile(data + "/ZorvDebug.log")).size(), 1u);
    EXPECT_EQ(modeOf(data) & 0777, 0770u);

    const std::string theirs = top.path() + "/theirs";
    ASSERT_EQ(asUser(kUserB,
                     [&]() -> std::string {
                         ::umask(0);
                         const std::string debugLog = data + "/ZorvDebug.log";
                         const std::string perfLog = data + "/ZorvPerfLog.csv";
                         zorvtest::writeFile(theirs, "");
                         if (::unlink(debugLog.c_str()) != 0 || ::unlink(perfLog.c_str()) != 0) {
                             return "cannot remove A's logs";
                         }
                         zorvtest::writeFile(debugLog, "");
                         return ::symlink(theirs.c_str(), perfLog.c_str()) == 0 ? "" : "no link";
                     }),
              "");
    ASSERT_EQ(asUser(kUserA, logAsA), "");
    EXPECT_EQ(zorvtest::readFile(data + "/ZorvDebug.log"), "") << "written into B's file";
    EXPECT_EQ(zorvtest::readFile(theirs), "") << "B's link followed";
}

// Every link on a log's way is judged by its owner, not only one at its name:
// a group member's link one directory up, and a link in a service user's own
// directory, redirect no record of root's. Root's own links still lead.
TEST(StressSecurity, OnlyRootsOrTheUsersLinksLeadAnywhereOnALogsPath) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    zorvtest::IsolatedLocks home;
    zorvtest::TempDir shared, service, elsewhere;
    ASSERT_EQ(::chown(shared.path().c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(::chmod(shared.path().c_str(), 02770), 0);
    ASSERT_EQ(::chown(service.path().c_str(), kUserA, kSharedGroup), 0);
    ASSERT_EQ(::chmod(service.path().c_str(), 0755), 0);
    const std::string victim = elsewhere.file("app.log");
    zorvtest::writeFile(victim, "precious\n");
    const std::string up = shared.file("sub");
    const std::string atName = service.file("app.log");
    ASSERT_EQ(asUser(kUserA,
                     [&] {
                         return ::symlink(elsewhere.path().c_str(), up.c_str()) == 0 &&
                                        ::symlink(victim.c_str(), atName.c_str()) == 0
                                    ? ""
                                    : "no link";
                     }),
              "");
    stress::writeRecords(up + "/app.log", "r", 0, 1);
    stress::writeRecords(atName, "r", 1, 1);
    EXPECT_EQ(zorvtest::readFile(victim), "precious\n") << "another user's link was followed";
    ASSERT_EQ(::lchown(up.c_str(), 0, 0), 0);
    stress::writeRecords(up + "/app.log", "r", 2, 2);
    EXPECT_EQ(stress::checkRecordLog(zorvtest::readFile(victim).substr(9)).seqs("r"),
              (std::set<long>{2, 3}));
    // The system's own links lead as ever: /var/run is root's link to /run.
    if (S_ISLNK(modeOf("/var/run"))) {
        const std::string name = "/" + uniqueLogName("varrun");
        stress::writeRecords("/var/run" + name, "v", 0, 1);
        EXPECT_EQ(stress::checkRecordLog(zorvtest::readFile("/run" + name)).seqs("v"),
                  std::set<long>{0});
        ::unlink(("/run" + name).c_str());
    }
}

// In a directory others may write to, a log with a second name elsewhere (a
// hard link: to a root-only file where the kernel lets anyone make one) is
// not written; one that several members write stays writable by all.
TEST(StressSecurity, AHardLinkedLogInASharedDirectoryIsNotWritten) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    zorvtest::IsolatedLocks home;
    zorvtest::TempDir shared;
    ASSERT_EQ(::chown(shared.path().c_str(), 0, kSharedGroup), 0);
    ASSERT_EQ(::chmod(shared.path().c_str(), 02770), 0);
    const std::string log = shared.file("app.log");
    const std::string other = shared.file("kept");
    ASSERT_EQ(asUser(kUserA,
                     [&] {
                         zorvtest::writeFile(other, "");
                         return ::link(other.c_str(), log.c_str()) == 0 ? "" : "no hard link";
                     }),
              "");
    stress::writeRecords(log, "r", 0, 1);
    EXPECT_EQ(zorvtest::readFile(other), "") << "written through a second name";
    ASSERT_EQ(::unlink(other.c_str()), 0);
    stress::writeRecords(log, "r", 1, 1);
    EXPECT_EQ(stress::checkRecordLog(zorvtest::readFile(log)).seqs("r"), std::set<long>{1});
}

// The data directory's policy holds for every spelling of it.
TEST(StressSecurity, TheDataDirectorysPolicyHoldsForEverySpelling) {
    zorvtest::IsolatedHome home;
    zorvtest::TempDir top;
    zorvtest::ScopedEnv dataHome("XDG_DATA_HOME", top.path().c_str());
    const std::string data = top.path() + "/zorv";
    ASSERT_EQ(::mkdir(data.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(data.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(data.c_str(), top.file("alias").c_str()), 0);
    stress::writeRecords(data + "/./x.log", "r", 0, 1);
    stress::writeRecords(top.file("alias") + "/y.log", "r", 0, 1);
    EXPECT_EQ(entries(data), std::vector<std::string>{});
}

// Where a filter refuses openat2 and statx (as some container profiles do),
// the path is walked and files are looked at with fstat: the same links lead
// and the same are refused, record after record.
TEST(StressSecurity, WithoutOpenat2ThePathIsWalkedByTheSameRule) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    zorvtest::IsolatedLocks home;
    zorvtest::TempDir dir, elsewhere;
    const std::string victim = elsewhere.file("app.log");
    zorvtest::writeFile(victim, "");
    ASSERT_EQ(::symlink(victim.c_str(), dir.file("current.log").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), dir.file("theirs.log").c_str()), 0);
    ASSERT_EQ(::lchown(dir.file("theirs.log").c_str(), kUserA, kSharedGroup), 0);
    const std::string outcome = stress::runInChild(
        [&]() -> std::string {
            struct sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 1, 0),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_statx, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
                return "no filter";
            }
            stress::writeRecords(dir.file("plain.log"), "p", 0, 2);
            stress::writeRecords(dir.file("current.log"), "c", 0, 2);
            stress::writeRecords(dir.file("theirs.log"), "t", 0, 2);
            return std::string();
        },
        30000);
    ASSERT_EQ(outcome, "");
    EXPECT_EQ(stress::checkRecordLog(zorvtest::readFile(dir.file("plain.log"))).seqs("p"),
              (std::set<long>{0, 1}));
    const stress::LogCheck linked = stress::checkRecordLog(zorvtest::readFile(victim));
    EXPECT_EQ(linked.seqs("c"), (std::set<long>{0, 1}));
    EXPECT_EQ(linked.seqs("t"), std::set<long>{}) << "another user's link was followed";
}

// A user who may write in a directory without the sticky bit swaps the log's
// directory for one of theirs, holding a file of their choice or a hard link
// to a root-only file (where the kernel lets anyone make one). No record of
// root's reaches either, judged before or fresh, and each refusal is counted
// (a log name per case: a process keeps a name's mutex for a second).
TEST(StressSecurity, ADirectorySwappedUnderTheLogRedirectsNoRecord) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    constexpr uid_t kNeighbour = 54321;
    const std::string knob = "/proc/sys/fs/protected_hardlinks";
    auto set = [&](const std::string& value) {
        std::FILE* f = std::fopen(knob.c_str(), "w");
        if (f == nullptr) {
            return false;
        }
        const bool written = std::fputs(value.c_str(), f) >= 0;
        return std::fclose(f) == 0 && written;
    };
    const std::string setting = zorvtest::readFile(knob);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { set(setting); });
    for (const bool anyHardLink : {false, true}) {
        if (anyHardLink && !set("0\n")) {
            GTEST_SKIP() << "cannot set " << knob;
        }
        for (const bool longLived : {true, false}) {
            SCOPED_TRACE(std::string(anyHardLink ? "any hard link, " : "default, ") +
                         (longLived ? "long-lived writer" : "fresh writer"));
            zorvtest::IsolatedLocks home;
            zorvtest::TempDir top, elsewhere;
            ASSERT_EQ(::chmod(top.path().c_str(), 0755), 0);
            ASSERT_EQ(::chmod(elsewhere.path().c_str(), 0755), 0);
            const std::string share = top.file("share");
            ASSERT_EQ(::mkdir(share.c_str(), 0755), 0);
            ASSERT_EQ(::chmod(share.c_str(), 0777), 0);
            ASSERT_EQ(::mkdir((share + "/logs").c_str(), 0755), 0);
            const std::string name = uniqueLogName(std::to_string(anyHardLink * 2 + longLived));
            const std::string log = share + "/logs/" + name;
            const std::string target = anyHardLink ? elsewhere.file("root-only") : top.file("own");
            zorvtest::writeFile(target, "precious\n");
            ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
            if (!anyHardLink) {
                ASSERT_EQ(::chown(target.c_str(), kNeighbour, kSharedGroup), 0);
            }
            ZorvLogger logger(false);
            logger.setLogFileName(TStr(log.c_str()));
            logger.startLogging();
            stress::StressRecord first("r", 0);
            logger.log(first);
            const std::string swapped = asUser(kNeighbour, [&]() -> std::string {
                if (::rename((share + "/logs").c_str(), (share + "/aside").c_str()) != 0 ||
                    ::mkdir((share + "/logs").c_str(), 0755) != 0) {
                    return "cannot swap the directory";
                }
                return ::link(target.c_str(), log.c_str()) == 0 ? "" : "no hard link";
            });
            ASSERT_EQ(swapped, "");
            if (longLived) {
                stress::StressRecord second("r", 1);
                logger.log(second);
            } else {
                stress::writeRecords(log, "r", 1, 1);
            }
            EXPECT_EQ(zorvtest::readFile(target), "precious\n") << "the swap redirected a record";
            zorv_detail::RefusalTally count;
            EXPECT_TRUE(zorv_detail::readRefusals(home.lockDir(), log, 0, count, nullptr) &&
                        count.count == 1 && count.reason == zorv_detail::Refusal::OtherOwner);
            EXPECT_EQ(
                stress::checkRecordLog(zorvtest::readFile(share + "/aside/" + name)).seqs("r"),
                std::set<long>{0});
        }
    }
}
