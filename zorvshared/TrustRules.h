#ifndef ZORV_SHARED_TRUSTRULES_H
#define ZORV_SHARED_TRUSTRULES_H

// Whom the product trusts, judged from what fstat says of a link, a
// directory or a file. The writer's walk (OpenTrustedPath.h), the directory
// policy (DirectoryPolicy.h), zorvlog's writing commands and the follower's
// reading all ask here, so that a rule cannot differ from one to the other.
// The rules hold for the effective user: nobody but that user and root can
// change what they own, so their links, directories and files cannot be
// turned against the process.

#include "SystemCalls.h"

#include <cstdint>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace zorv_detail {

// Why a record was not written. The numbers are kept in the lock place's
// count (RefusalCount.h), so they never change meaning.
enum class Refusal : std::uint8_t {
    None = 0,
    // a link on the way belongs to someone else
    Link = 1,
    // in a directory others may write, the file has another name elsewhere
    HardLink = 2,
    // a directory or file of another user where others could have put it
    OtherOwner = 3,
    // the product's own data directory is not fit for logs
    DataDirectory = 4,
    // the system refused the open (or the path leads to no file)
    Open = 5,
    // the write failed (a full disk, a quota, an I/O error)
    Write = 6,
};

// "link", "hard-link", "other-owner", "data-directory", "open", "write";
// null for None and for numbers no refusal has.
const char* refusalWord(Refusal refusal);

// Root or the effective user: what they own nobody else can change.
bool ownerTrusted(uid_t owner);

// A link may be followed only when its owner is trusted: whoever owns a link
// can point it elsewhere at any time.
bool linkMayBeFollowed(const struct stat& link);

// Someone besides the user and root may put files in the directory (or
// link files into it): it belongs to another user, others may write in it,
// or a group other than the user's private one may.
bool directoryShared(const struct stat& dir);

// Anyone may rename or replace what lies in the directory: others may write
// in it and it has no sticky bit. Below it, only what root or the user owns
// is taken (entryBelowSwapsFault), since anything else may have been put
// there after the path was judged. A group's setgid 2770 or 2775 directory
// is not open to swaps: its members stay able to share a log.
bool directoryOpenToSwaps(const struct stat& dir);

// What is wrong with a directory, link or file met below a directory open to
// swaps: OtherOwner when another user (not root) owns it.
Refusal entryBelowSwapsFault(const struct stat& entry);

// What is wrong with a file to be written in a shared directory: it must be
// a regular file (Open) with one name (HardLink), and, where ownFilesOnly,
// the user's or root's (OtherOwner). None when it fits.
Refusal sharedFileFault(const struct stat& file, bool ownFilesOnly);

// The group rule of the product's log directory, once it passed as one: when
// a group other than the user's private one may write in it, each file in it
// must be the user's or root's.
bool logDirectoryGroupShared(const struct stat& dir);

// The user's private group: the user's primary group, named as the user and
// with no other member, so that its write bit shares nothing.
bool isUsersPrivateGroup(gid_t gid);

// Whose files a reader takes for a log's generations: root, the reader's own
// user, and whom the reader adds (the users it was told to trust, the owner
// of the first generation it accepted). Anyone else could put a file named
// as a generation beside a log in a shared directory.
// (Defined here: the libraries never use it, and so export no
// instantiation of its set.)
class TrustedOwners {
public:
    TrustedOwners() : mUids{0, ::geteuid()} {}
    void add(uid_t uid) { mUids.insert(uid); }
    bool trusts(uid_t uid) const { return mUids.count(uid) != 0; }
    // Whether a generation owned by owner is read. With anyOwner (the log
    // the user named, at that path) a file of anyone is, except, for a
    // reader running as root, one reached through a link: root would read
    // whatever that link's owner chose.
    bool mayRead(uid_t owner, bool anyOwner, bool throughLink) const {
        return trusts(owner) || (anyOwner && !(throughLink && ::geteuid() == 0));
    }

private:
    std::set<uid_t> mUids;
};

} // namespace zorv_detail

#endif
