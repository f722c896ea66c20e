#ifndef ZORV_RULES_OPENTRUSTEDPATH_H
#define ZORV_RULES_OPENTRUSTEDPATH_H

// Opening a log's path so that nobody else can redirect it: not with a link
// at its name, not with a link one directory up, not by swapping a directory
// between a check and the open. Every link on the way is judged by its owner
// before it is followed, and the directory the file lies in is judged by its
// descriptor, so what was judged is what was opened, whatever the spelling.

#include "TrustRules.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace zorv_detail {

// What one path is known to lead to, kept by the caller from one open to
// the next (and cleared when the path changes).
struct PathMemo {
    // The path was walked and its directory judged once: a later open
    // without links on the way that finds the very file the walk judged
    // (same device, inode and number of names) needs no walk.
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t links = 0;
    // Someone besides the user (and root) may write in the file's
    // directory: whatever file is there is checked at every open.
    bool shared = false;
    // The caller's judge asks that such a file belongs to the user or root.
    bool ownFilesOnly = false;
    // The last walk followed a link on the way.
    bool followedLink = false;
    // Why the last open was refused by these rules (None: it was not, or
    // the system refused it).
    Refusal refused = Refusal::None;
};

// The caller's look at the directory the file lies in, once the walk has it
// open and before the file is opened or made there. dirFd may be used for
// *at calls until the judge returns. False refuses the open (EACCES), with
// *reason for a person when the judge gave one.
struct DirectoryJudge {
    bool (*judge)(int dirFd, const struct stat& dir, PathMemo& memo, std::string* reason,
                  void* context) = nullptr;
    void* context = nullptr;
};

// The data directory's policy for a directory a walk reached (dir, as
// opened): true when it is not the data directory (dataLocation, as the
// utility library reports it; matched by device and inode, not by spelling)
// or when the policy lets it be written; memo then learns whether only the
// user's own files may be. reason, when given, receives why not.
bool dataDirectoryAllows(const std::string& dataLocation, const struct stat& dir, PathMemo& memo,
                         std::string* reason = nullptr);

// open(2) of path with flags (close-on-exec added) and mode, by these rules:
// - with memo.known, first openat2 with no link allowed anywhere on the
//   way, never creating the file, and one fstat: the file is taken when it
//   is the one the last walk judged (so nothing was swapped on the way);
//   anything else (another file, a new name, no file) is walked;
// - otherwise (or when openat2 meets a link, or the kernel or a filter does
//   not offer it) the path is walked one component at a time from a
//   directory descriptor; a link is followed only when root or the process's
//   own user owns it, as nobody else can point it elsewhere afterwards (at
//   most 40 of them), the judge sees the last directory, and the
//   file is opened relative to it, never through a link at its name;
// - when opening for writing, below a directory anyone may rename things
//   in (others may write, no sticky bit), every directory, link and file
//   must be root's or the user's;
// - in a shared directory the file must be a regular one with a single
//   link (no other name elsewhere), and the user's or root's when the judge
//   asked for own files only.
// A refusal of these rules leaves its kind in memo.refused.
// Returns the descriptor, or -1 with errno (EACCES for a refusal) and
// *reason in words for a person when the rules refused (nothing else said
// when the system did). *opened, when given, receives what fstat said of
// the file opened (its size as the open left it), so that the caller needs
// no call of its own to learn it.
int openTrustedPath(const char* path, int flags, mode_t mode, const DirectoryJudge& judge,
                    PathMemo& memo, std::string* reason = nullptr, struct stat* opened = nullptr);

} // namespace zorv_detail

#endif
