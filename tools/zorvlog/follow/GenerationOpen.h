#ifndef ZORVLOG_GENERATIONOPEN_H
#define ZORVLOG_GENERATIONOPEN_H

#include "TrustRules.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace zorvlog {

// Who may own a file that follow takes for a generation of a log: root, the
// follower's own user, the users named with --owner, and the owner of the
// first generation it accepted (add() it).
using TrustedOwners = zorv_detail::TrustedOwners;

// A user's name for a message: "alice", or "uid 61001" without one.
std::string userName(uid_t uid);

// --owner USER: a user name or a number; -1 when there is no such user.
long ownerUid(const std::string& user);

// Opens a file of a log for reading, never blocking, by the rules every log
// path is opened by (zorvshared/OpenTrustedPath.h): a link anywhere on the way is
// followed only when root or the follower's user owns it; the file must be a
// regular one, owned by a trusted owner. With
// `anyOwner` (the first generation of a log, at the path the user named) a
// file of any owner is taken, except, for a follower running as root, one
// reached through a link. Returns the descriptor with *st filled, or -1 with
// *problem in words (*missing set when there is no file).
int openGeneration(const std::string& path, const TrustedOwners& owners, bool anyOwner,
                   struct stat* st, std::string* problem, bool* missing);

} // namespace zorvlog

#endif
