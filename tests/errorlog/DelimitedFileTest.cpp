#include "support/TestSupport.h"

#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace zorvtest;
using Pairs = std::list<std::pair<TStr, TStr>>;
using Items = std::list<TStr>;

namespace {

class DelimitedFileTest : public ::testing::Test {
protected:
    void TearDown() override { ZorvDelimitedFile::kTab = mSavedTab; }

    // The section text of f with the given separator, as raw bytes.
    static std::string section(const ZorvDelimitedFile& f, const char* sep = "\t") {
        return f.getCurrentSection(TStr(sep)).bytes();
    }

    IsolatedHome mHome;
    TempDir mDir;
    std::string mPath = mDir.file("out.log");
    const char* mSavedTab = ZorvDelimitedFile::kTab;
};

TEST_F(DelimitedFileTest, KeyValueLinesByteForByteAndSectionReuse) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(false);
    std::string s1 = section(f);
    ASSERT_FALSE(s1.empty());
    Pairs three{{"key1", "value1"}, {"key2", "value2"}, {"key3", "value3"}};
    EXPECT_TRUE(f.write("Reason", "disk full"));
    EXPECT_TRUE(f.write("Delta", -3));
    EXPECT_TRUE(f.write(three));
    EXPECT_EQ(three.size(), 3u); // the list is left as it was
    // Structure characters and line breaks pass through unescaped. An integer
    // as the third argument is the close-afterwards flag.
    EXPECT_TRUE(f.append("Odd", "a=b,c\td\nnext", 0));
    f.updateCurrentSection(true);
    std::string s2 = section(f);
    EXPECT_TRUE(f.append("Later", "x", 1));
    EXPECT_FALSE(isOpenInThisProcess(mPath));
    EXPECT_EQ(readFile(mPath), s1 + "\tReason=disk full\n" + s1 + "\tDelta=-3\n" + s1 +
                                   "\tkey1=value1,key2=value2,key3=value3\n" + s1 +
                                   "\tOdd=a=b,c\td\nnext\n" + s2 + "\tLater=x\n");
}

TEST_F(DelimitedFileTest, ItemLinesEndEveryItemWithTheSeparator) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(true);
    Items abc{"a", "b", "c"};
    Items one{"only"};
    Items none;
    EXPECT_TRUE(f.writeDebugLog(abc, ","));
    EXPECT_TRUE(f.writeDebugLog(one, "\t"));
    EXPECT_TRUE(f.writeDebugLog(one, ""));
    EXPECT_FALSE(f.writeDebugLog(none, ","));
    Pairs noPairs;
    EXPECT_FALSE(f.write(noPairs));
    f.close();
    EXPECT_EQ(readFile(mPath), section(f, ",") + ",a,b,c,\n" + section(f, "\t") + "\tonly\t\n" +
                                   section(f, "") + "only\n");
}

TEST_F(DelimitedFileTest, KTabChangesOnlyTheSectionOfKeyValueLines) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(false);
    ZorvDelimitedFile::kTab = " | ";
    Pairs pairs{{"k", "v"}};
    Items items{"i"};
    EXPECT_TRUE(f.write("k", "v"));
    EXPECT_TRUE(f.append(pairs, false));
    EXPECT_TRUE(f.writeDebugLog(items, ";"));
    ZorvDelimitedFile::kTab = nullptr;
    EXPECT_TRUE(f.write("k", "v"));
    EXPECT_TRUE(f.write(pairs));
    f.close();
    std::string bar = section(f, " | ");
    std::string none = section(f, "");
    EXPECT_EQ(readFile(mPath), bar + "\tk=v\n" + bar + "\tk=v\n" + section(f, ";") + ";i;\n" +
                                   none + "\tk=v\n" + none + "\tk=v\n");
}

TEST_F(DelimitedFileTest, WithoutSectionWritersOpenButWriteNothing) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    EXPECT_FALSE(f.isCurrentSectionSet());
    EXPECT_TRUE(f.getCurrentSection(TStr("\t")).isEmpty());
    EXPECT_FALSE(fileExists(mPath)); // construction creates nothing
    EXPECT_FALSE(f.write("Reason", "anything"));
    EXPECT_EQ(fileSize(mPath), 0);
    EXPECT_TRUE(isOpenInThisProcess(mPath));
    Items items{"x"};
    EXPECT_FALSE(f.writeDebugLog(items, ","));
    EXPECT_FALSE(f.append("Reason", "x", true));
    EXPECT_FALSE(isOpenInThisProcess(mPath));
    EXPECT_EQ(fileSize(mPath), 0);
}

TEST_F(DelimitedFileTest, LowLevelWritersNeedAnOpenStreamAndTakeTheGivenSection) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    Pairs pairs{{"a", "1"}, {"b", "2"}};
    Pairs none;
    EXPECT_FALSE(f.append("SECTION", pairs));
    EXPECT_FALSE(f.append("SECTION", "k", "v"));
    EXPECT_FALSE(fileExists(mPath));
    ASSERT_TRUE(f.open(false));
    EXPECT_TRUE(f.append("S|E", pairs)); // no section of its own needed
    EXPECT_TRUE(f.append("S", "k", "v"));
    EXPECT_FALSE(f.append("", pairs));
    EXPECT_FALSE(f.append("S", none));
    EXPECT_FALSE(f.append(TStr(), "k", "v"));
    f.close();
    EXPECT_EQ(readFile(mPath), "S|E\ta=1,b=2\nS\tk=v\n");
}

TEST_F(DelimitedFileTest, OpenCloseClearRefreshStateMachine) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(false);
    EXPECT_TRUE(f.write("one", "1"));
    EXPECT_EQ(fileSize(mPath), 0); // no flush of our own: lines land at close
    EXPECT_TRUE(f.open(true));     // already open: neither reopened nor emptied
    f.refresh();
    EXPECT_FALSE(isOpenInThisProcess(mPath));
    std::string first = readFile(mPath);
    EXPECT_EQ(first, section(f) + "\tone=1\n");
    EXPECT_TRUE(f.write("two", "2")); // reopens by name, appends
    f.close();
    f.close(); // closing twice is harmless
    EXPECT_EQ(readFile(mPath), first + section(f) + "\ttwo=2\n");
    ASSERT_TRUE(f.open(false));
    f.clearContents();
    EXPECT_EQ(fileSize(mPath), 0);
    EXPECT_FALSE(isOpenInThisProcess(mPath));
    // A stream opened with "w" still appends after whatever is there.
    ASSERT_TRUE(f.open(true));
    EXPECT_TRUE(f.write("three", "3"));
    f.close();
    EXPECT_EQ(readFile(mPath), section(f) + "\tthree=3\n");
}

TEST_F(DelimitedFileTest, SetFilenameKeepsOrSwitchesTheStream) {
    std::string other = mDir.file("other.log");
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(false);
    EXPECT_TRUE(f.write("a", "1"));
    f.setFilename(TStr(mPath.c_str()));
    EXPECT_TRUE(isOpenInThisProcess(mPath));
    EXPECT_EQ(fileSize(mPath), 0);
    f.setFilename(TStr(other.c_str()));
    EXPECT_EQ(f.getFilename(), TStr(other.c_str()));
    EXPECT_EQ(readFile(mPath), section(f) + "\ta=1\n"); // closed, so flushed
    EXPECT_TRUE(f.write("b", "2"));
    f.setFilename(TStr());
    EXPECT_EQ(readFile(other), section(f) + "\tb=2\n");
    EXPECT_FALSE(f.open(false));
    EXPECT_FALSE(f.write("c", "3"));
    f.clearContents(); // no name: nothing to do
}

TEST_F(DelimitedFileTest, OpenFailsWithoutDirectoryOrUtf8NameAndRetriesLater) {
    std::string sub = mDir.file("sub");
    ZorvDelimitedFile f(TStr((sub + "/x.log").c_str()));
    EXPECT_FALSE(f.open(false));
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    EXPECT_TRUE(f.open(false)); // the next attempt tries again
    f.close();

    ZorvDelimitedFile bad(TStr((mDir.file("bad\xFF") + ".log").c_str()));
    std::string nulName = mDir.file("nul") + std::string(1, '\0') + "x";
    ZorvDelimitedFile embedded{TStr(nulName)};
    bad.updateCurrentSection(false);
    embedded.updateCurrentSection(false);
    EXPECT_FALSE(bad.open(false));
    EXPECT_FALSE(bad.write("k", "v"));
    EXPECT_FALSE(embedded.open(false));
    EXPECT_FALSE(fileExists(mDir.file("nul")));
    EXPECT_FALSE(fileExists(mDir.file("bad") + ".log"));
}

TEST_F(DelimitedFileTest, BadUtf8IsReplacedAndTheLineKept) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(false);
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a\xFF"
         "b",
         "a" + fffd + "b"},
        {"\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"cut\xE2\x82", "cut" + fffd},                   // truncated at the end
        {"\xE2\x82x", fffd + "x"},                       // truncated before ASCII
        {"\xC0\xAF", fffd + fffd},                       // overlong
        {"\xED\xA0\x80", fffd + fffd + fffd},            // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // above U+10FFFF
        {std::string("x\0y", 3), "x" + fffd + "y"},      // NUL would cut the line
    };
    std::string expected;
    for (const Case& c : cases) {
        EXPECT_TRUE(f.write("v", TStr(c.in)));
        expected += section(f) + "\tv=" + c.out + "\n";
    }
    Items items{TStr("\x80")};
    EXPECT_TRUE(f.writeDebugLog(items, ","));
    f.close();
    EXPECT_EQ(readFile(mPath), expected + section(f, ",") + "," + fffd + ",\n");
}

TEST_F(DelimitedFileTest, SuspiciousByteIsFoundAtEveryOffset) {
    // Lines are scanned several bytes at a time: a bad byte, a NUL or a
    // well-formed non-ASCII character must be seen wherever it falls.
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(false);
    const std::string fffd = "\xEF\xBF\xBD";
    std::string expected;
    for (int at = 0; at < 20; ++at) {
        const std::string before(static_cast<std::size_t>(at), 'a');
        const std::string after(static_cast<std::size_t>(19 - at), 'b');
        const std::string cases[][2] = {{"\xFF", fffd},
                                        {std::string(1, '\0'), fffd},
                                        {"\x7F", "\x7F"},
                                        {"\xC3\xBC", "\xC3\xBC"}};
        for (const auto& c : cases) {
            EXPECT_TRUE(f.write("v", TStr(before + c[0] + after)));
            expected += section(f) + "\tv=" + before + c[1] + after + "\n";
        }
    }
    f.close();
    EXPECT_EQ(readFile(mPath), expected);
}

TEST_F(DelimitedFileTest, EveryNewNameIsCheckedBeforeItIsOpened) {
    ZorvDelimitedFile f(TStr(mPath.c_str()));
    f.updateCurrentSection(false);
    EXPECT_TRUE(f.write("a", "1"));
    std::string nulName = mDir.file("nul") + std::string(1, '\0') + "x";
    f.setFilename(TStr(nulName));
    EXPECT_FALSE(f.open(false));
    EXPECT_FALSE(f.write("b", "2"));
    EXPECT_FALSE(fileExists(mDir.file("nul")));
    std::string other = mDir.file("other.log");
    f.setFilename(TStr(other.c_str()));
    EXPECT_TRUE(f.write("c", "3"));
    f.setFilename(TStr(mPath.c_str()));
    EXPECT_TRUE(f.write("d", "4"));
    f.close();
    EXPECT_EQ(readFile(mPath), section(f) + "\ta=1\n" + section(f) + "\td=4\n");
    EXPECT_EQ(readFile(other), section(f) + "\tc=3\n");
}

// Key/value lines, as a record of a client's own writes them.
class PairsRecord : public ZorvLoggable {
public:
    PairsRecord(std::initializer_list<std::pair<std::string, std::string>> pairs)
        : ZorvLoggable(TStr()), mPairs(pairs) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        for (const auto& pair : mPairs) {
            logger->mLogFile.write(TStr(pair.first), TStr(pair.second));
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> mPairs;
};

// A record starts on a line of its own when the file ends in a line another
// writer left without its LF, whether or not it is written under the lock.
TEST_F(DelimitedFileTest, TornTailIsMendedWithOrWithoutTheLock) {
    writeFile(mPath, "torn");
    ZorvLogger logger(TStr(mPath.c_str()));
    logger.startLogging();
    logger.log(PairsRecord{{"a", "1"}, {"b", "2"}});
    logger.log(PairsRecord{{"c", "3"}}); // ends in LF now: no blank line
    writeFile(mPath, readFile(mPath) + "frag");
    logger.log(PairsRecord{{"d", "4"}});
    writeFile(mPath, readFile(mPath) + "busy");
    EXPECT_TRUE(logger.mLogFile.write("e", "5"));
    logger.mLogFile.close();
    const std::string s = section(logger.mLogFile);
    EXPECT_EQ(readFile(mPath), "torn\n" + s + "\ta=1\n" + s + "\tb=2\n" + s + "\tc=3\nfrag\n" + s +
                                   "\td=4\nbusy\n" + s + "\te=5\n");
}

// A record larger than one write carries goes out in several, in order, each
// line whole, the torn tail before it mended once.
TEST_F(DelimitedFileTest, ARecordBeyondTheSingleWriteBoundArrivesInOrder) {
    writeFile(mPath, "torn");
    ZorvLogger logger(TStr(mPath.c_str()));
    logger.startLogging();
    const std::string big(1536 * 1024, 'x'); // four of them: 6 MiB
    logger.log(PairsRecord{{"a", big}, {"b", big}, {"c", big}, {"d", big}});
    const std::string s = section(logger.mLogFile);
    EXPECT_TRUE(readFile(mPath) == "torn\n" + s + "\ta=" + big + "\n" + s + "\tb=" + big + "\n" +
                                       s + "\tc=" + big + "\n" + s + "\td=" + big + "\n");
}

// Another user's writer (outside our lock) keeps a line of its own open,
// adding a byte at a time: our records never join its line, each starts a
// line of its own.
TEST_F(DelimitedFileTest, ARecordNeverJoinsALineStillBeingWritten) {
    ZorvLogger logger(TStr(mPath.c_str()));
    logger.startLogging();
    std::atomic<bool> done{false};
    std::thread other([&] {
        const int fd = ::open(mPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(::write(fd, "4711\t", 5), 5);
        while (!done) {
            EXPECT_EQ(::write(fd, "y", 1), 1);
        }
        ::close(fd);
    });
    while (fileSize(mPath) <= 0) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 5; ++i) {
        logger.log(PairsRecord{{"ours", std::to_string(i)}});
    }
    done = true;
    other.join();
    const std::vector<std::string> lines = splitLines(readFile(mPath));
    for (int i = 0; i < 5; ++i) {
        const std::string ours = section(logger.mLogFile) + "\tours=" + std::to_string(i);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), ours), 1) << ours << " joined a line";
    }
}

// A record that fails half-way (here at the file size limit, as on a full
// disk) leaves a fragment; the next record must start on a line of its own.
TEST_F(DelimitedFileTest, TornTailAfterFailedWrite) {
    writeFile(mPath, "first\n");
    ZorvLogger logger(TStr(mPath.c_str()));
    logger.startLogging();
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    struct rlimit small = saved;
    small.rlim_cur = 6 + 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    logger.log(PairsRecord{{"big", std::string(40000, 'x')}});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    logger.log(PairsRecord{{"after", "ok"}});
    std::vector<std::string> lines = splitLines(readFile(mPath));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "first");
    EXPECT_EQ(lines[1], (section(logger.mLogFile) + "\tbig=").substr(0, 20));
    EXPECT_EQ(lines[2], section(logger.mLogFile) + "\tafter=ok");
}

TEST_F(DelimitedFileTest, UnpositionableOrFullTargetsMakeWritersFail) {
    std::string fifo = mDir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    {
        ZorvDelimitedFile f(TStr(fifo.c_str()));
        f.updateCurrentSection(false);
        Items items{"i"};
        EXPECT_TRUE(f.open(false));
        EXPECT_FALSE(f.write("k", "v"));
        EXPECT_FALSE(f.writeDebugLog(items, ","));
        EXPECT_FALSE(f.write("k", "v")); // still refused, not just the first time
    }
    char buf[16];
    EXPECT_LE(::read(reader, buf, sizeof buf), 0); // nothing reached the pipe
    ::close(reader);

    ZorvDelimitedFile full("/dev/full");
    full.updateCurrentSection(false);
    EXPECT_FALSE(full.write("k", "v"));
    ZorvDelimitedFile null("/dev/null");
    null.updateCurrentSection(false);
    EXPECT_TRUE(null.write("k", "v"));
}

} // namespace
