#ifndef QET_QT_STARTUP_H
#define QET_QT_STARTUP_H

// What Qt needs so that QET starts quietly where no desktop is: under su, from
// cron, from a service. QET serves a socket and normally shows no window, so
// nothing Qt says there about a desktop is for the user.

#include <vector>

namespace qet {

// Qt looks up its runtime directory while the application object is made, and
// complains on stderr when XDG_RUNTIME_DIR is unset (su, cron) or belongs to
// another user (inherited through su). QET keeps its socket in a place of its
// own choosing (QETPipeServer::socketPath, which says itself what it passed
// over), so those words are about nothing QET uses, and a cron job would mail
// them at every start. Only they are dropped; every other message goes on to
// the handler that was in place.
void dropQtRuntimeDirMessages();

// Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) and without a
// platform chosen (QT_QPA_PLATFORM, or Qt's -platform option), Qt would abort
// with its plugin error; QET serves on Qt's offscreen platform instead, where
// no window could be shown anyway. The choice goes to Qt as its own option
// ("-platform offscreen" after the program's name, which Qt takes out of the
// arguments again), not through the environment, which every program QET
// starts would inherit. Returns the arguments for Qt, ended by a null.
std::vector<char*> serveOffscreenWithoutDisplay(int argc, char** argv);

} // namespace qet

#endif
