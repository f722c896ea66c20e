#ifndef QET_QT_STARTUP_H
#define QET_QT_STARTUP_H

// What Qt needs so that QET starts quietly where no desktop is: under su, from
// cron, from a service. QET serves a socket and normally shows no window, so
// nothing Qt says there about a desktop is for the user.
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
// no window could be shown anyway.
void serveOffscreenWithoutDisplay(int argc, char** argv);

} // namespace qet

#endif
