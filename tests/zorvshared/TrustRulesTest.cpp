// The rules of trust over what fstat says, one row per outcome.
#include "TrustRules.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace zorv_detail {
namespace {

struct stat statOf(mode_t mode, uid_t uid, nlink_t links = 1, gid_t gid = 54320) {
    struct stat st {};
    st.st_mode = mode;
    st.st_uid = uid;
    st.st_gid = gid;
    st.st_nlink = links;
    return st;
}

TEST(TrustRules, EachRuleOverWhatFstatSays) {
    const uid_t me = ::geteuid();
    const uid_t other = me + 54321;
    TrustedOwners readers;
    readers.add(other + 1);
    const struct {
        const char* what;
        bool outcome;
        bool expected;
    } cases[] = {
        {"root's link", linkMayBeFollowed(statOf(S_IFLNK | 0777, 0)), true},
        {"own link", linkMayBeFollowed(statOf(S_IFLNK | 0777, me)), true},
        {"another's link", linkMayBeFollowed(statOf(S_IFLNK | 0777, other)), false},
        {"own 0755 directory", directoryShared(statOf(S_IFDIR | 0755, me)), false},
        {"another's 0755 directory", directoryShared(statOf(S_IFDIR | 0755, other)), true},
        {"root's sticky 1777", directoryShared(statOf(S_IFDIR | 01777, 0)), true},
        {"root's group 2770", directoryShared(statOf(S_IFDIR | 02770, 0)), true},
        {"0777 is open to swaps", directoryOpenToSwaps(statOf(S_IFDIR | 0777, 0)), true},
        {"1777 is not", directoryOpenToSwaps(statOf(S_IFDIR | 01777, 0)), false},
        {"2775 is not", directoryOpenToSwaps(statOf(S_IFDIR | 02775, 0)), false},
        {"2770 is not", directoryOpenToSwaps(statOf(S_IFDIR | 02770, other)), false},
        {"another's entry below swaps",
         entryBelowSwapsFault(statOf(S_IFDIR | 0755, other)) == Refusal::OtherOwner, true},
        {"root's entry below swaps",
         entryBelowSwapsFault(statOf(S_IFREG | 0644, 0)) == Refusal::None, true},
        {"shared: one name", sharedFileFault(statOf(S_IFREG | 0644, other), false) == Refusal::None,
         true},
        {"shared: two names",
         sharedFileFault(statOf(S_IFREG | 0644, me, 2), false) == Refusal::HardLink, true},
        {"shared: a FIFO", sharedFileFault(statOf(S_IFIFO | 0644, me), false) == Refusal::Open,
         true},
        {"own files only: another's",
         sharedFileFault(statOf(S_IFREG | 0644, other), true) == Refusal::OtherOwner, true},
        {"own files only: root's",
         sharedFileFault(statOf(S_IFREG | 0644, 0), true) == Refusal::None, true},
        {"log directory 0770 of a shared group",
         logDirectoryGroupShared(statOf(S_IFDIR | 0770, me, 1, 54320)), true},
        {"log directory 0700", logDirectoryGroupShared(statOf(S_IFDIR | 0700, me)), false},
        {"reader: own file", readers.mayRead(me, false, false), true},
        {"reader: an added owner", readers.mayRead(other + 1, false, false), true},
        {"reader: a stranger", readers.mayRead(other, false, false), false},
        {"reader: the named log of anyone", readers.mayRead(other, true, false), true},
        {"reader: the named log through a link", readers.mayRead(other, true, true), me != 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.outcome, c.expected) << c.what;
    }
    const char* words[] = {nullptr,          "link", "hard-link", "other-owner",
                           "data-directory", "open", "write",     nullptr};
    for (int code = 0; code < 8; ++code) {
        EXPECT_STREQ(refusalWord(static_cast<Refusal>(code)), words[code]) << code;
    }
}

} // namespace
} // namespace zorv_detail
