#ifndef ZORV_SHARED_DIRECTORYPOLICY_H
#define ZORV_SHARED_DIRECTORYPOLICY_H

// The one rule for every directory the product writes into or reads trusted
// data from. Another local user must not be able to read our locks, redirect
// our logs or feed us a table, so whom a directory belongs to and who else may
// write in it decide whether we use it.

#include "TrustRules.h"

#include <string>
#include <sys/types.h>

namespace zorv_detail {

enum class DirectoryUse {
    // Locks and sockets: the user's own, and nobody else may write in it.
    Private,
    // State the user writes: the user's own; others may not write in it, and
    // the group only when it is the user's private group (a user whose umask
    // leaves the group write bit lives with such a group).
    UserData,
    // The product's log directory (the local user data directory): the user's
    // own and closed to others, but open to its group whatever group that is,
    // as the loggers make it 0770 and users share primary groups on some
    // systems. Where the group may write, each file in it is judged on its own
    // (LogPlace::OwnFilesOnly).
    Logs,
    // Data the user reads and trusts (the error-code table): as UserData, but
    // root may own it too, as it owns the installed data.
    TrustedData,
};

// Whether the directory at path may be used for that purpose. A symbolic link
// is followed and its target judged, so the user's own linked directory works
// and another user's does not; the link itself must belong to the user or
// root, or whoever owns it could point it elsewhere later. Every directory
// above the target must belong to the user or root and be closed to others'
// writes unless it is sticky (as /tmp and /dev/shm are), so nobody can swap the
// directory for another one after it was judged. When it may not be used and
// reason is given, it receives why, in words for a person.
bool directoryAllowed(const std::string& path, DirectoryUse use, std::string* reason = nullptr);

// Makes the directory, with its missing parents, and judges it as
// directoryAllowed does. The last directory is made with mode (less the
// umask); missing parents with 0700. Nothing that exists is changed.
bool prepareDirectory(const std::string& path, DirectoryUse use, mode_t mode,
                      std::string* reason = nullptr);

// Whether a file of trusted data (the error-code table) may be read: a regular
// file, links followed, owned by the user or root, that others may not write,
// in a directory that TrustedData allows.
bool trustedFileAllowed(const std::string& path, std::string* reason = nullptr);

// What a log file's directory allows.
enum class LogPlace {
    Refused,
    Usable,
    // The group may write in the directory too: a file (or a link) another
    // member put at a log's name is not written (the writer opens only files
    // of the user's own or root's).
    OwnFilesOnly,
};

// What the product's own directory allows: the local user data directory
// (dataLocation, as the utility library reports it), where the default logs
// and QET's log live. It is written into only while it passes as Logs,
// whoever names a file in it and however (the writers recognise it by the
// directory they opened, zorvshared/OpenTrustedPath.h): pointed at a shared place,
// it may be another user's. Other directories are the client's choice.
// reason, when given, receives why not.
LogPlace dataDirectoryPlace(const std::string& dataLocation, std::string* reason = nullptr);

} // namespace zorv_detail

#endif
