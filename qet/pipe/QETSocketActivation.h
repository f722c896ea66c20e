#ifndef QET_SOCKETACTIVATION_H
#define QET_SOCKETACTIVATION_H

#include <QString>

// Socket activation by a service manager: the listening socket is handed over
// as descriptor 3 with LISTEN_PID (our pid) and LISTEN_FDS (how many) in the
// environment, as sd_listen_fds(3) reads them. Read by hand: it is a dozen
// lines, and libsystemd would make QET depend on the manager it may run
// without.
namespace zorv_detail {

constexpr int kNotActivated = -1;
constexpr int kActivationUnusable = -2;

// The listening descriptor handed to this process, kNotActivated when none
// was, kActivationUnusable (reason in *why) when what was handed over is not a
// listening local stream socket. The variables are removed from the
// environment either way, so that no child of ours takes them for its own.
int takeListeningDescriptor(QString* why);

} // namespace zorv_detail

#endif
