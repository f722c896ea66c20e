#ifndef ZORV_ERRORLOG_OPENLOGFILE_H
#define ZORV_ERRORLOG_OPENLOGFILE_H

// How a log file is opened for a record: never through a symbolic link that
// someone else could have planted at its name. In a directory others may
// write to (a group's log directory), whoever can write there can put a link
// at the log's name pointing at any file the writer may write, and the
// record, root's for one, would land there.

#include <sys/types.h>

namespace zorv_detail {

// open(2) of path with flags (close-on-exec added) and mode, except that a
// symbolic link at the name (and at the name it leads to, up to 8 links) is
// followed only when it belongs to the user or root, or when nobody but the
// link's owner may write in its directory; otherwise -1 (errno EACCES).
// ownFilesOnly: the file must belong to the user or root as well (for
// directories that others may write to, where another user could have put
// a file of theirs at the log's name to read what is written to it). Files
// that are not links (devices, FIFOs) open as open(2) opens them.
int openLogFile(const char* path, int flags, mode_t mode, bool ownFilesOnly);

} // namespace zorv_detail

#endif
