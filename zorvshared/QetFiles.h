#ifndef ZORV_SHARED_QETFILES_H
#define ZORV_SHARED_QETFILES_H

// QET's files that others read too: its error log beside the default logs, and
// its instance lock in the user's lock place, which QET writes and zorvlog
// status reads.

#include <string>

namespace zorv_detail {

// In the local user data directory.
constexpr const char* kQetErrorLogName = "QET.log";

// In the lock place: flock-ed by the QET that serves the user. It holds the
// QET's pid and, once it listens, its socket path, a line each, so that a tool
// can name them without connecting (a connection would start a
// socket-activated QET). Whether that QET still lives is the lock's to say,
// not the text's: the text stays after it ends.
constexpr const char* kQetInstanceLockName = "QET.lock";

// The text of the instance lock; socket empty while QET does not listen yet.
std::string qetInstanceText(long pid, const std::string& socket);

// What the text says. Only whole lines count: QET writes the text in one
// write, but a reader may see it between the pid alone and both lines.
struct QetInstanceNote {
    long pid = 0;
    std::string socket;
};
QetInstanceNote readQetInstanceText(const std::string& text);

} // namespace zorv_detail

#endif
