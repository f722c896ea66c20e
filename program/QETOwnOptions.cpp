#include "QETOwnOptions.h"

#include <cstdio>
#include <cstring>

namespace qet {

namespace {

const char kHelp[] =
    "Usage: QET [Qt options] [ARG...]\n"
    "       QET --help | --version\n"
    "\n"
    "Serves the requests that this user's processes send over a local socket, with\n"
    "no window open; qet-send sends one from a shell. The socket is\n"
    "$XDG_RUNTIME_DIR/QET.pipe when that is a private directory of the user's, else\n"
    "QET.pipe in the user's lock place ($ZORV_LOCK_DIR, else /dev/shm/zorv-UID, or\n"
    "~/.cache/zorv/locks when another user holds that). One QET serves a user.\n"
    "\n"
    "Qt takes its own options (such as -platform offscreen, which serves without a\n"
    "display). When two or more arguments remain, they are one request, handed to\n"
    "this QET or to the one already serving this user. --help and --version are\n"
    "QET's own only as the sole argument; anywhere else they are part of a request.\n"
    "\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Exit status: 0 ended normally (also on SIGTERM or SIGINT), or the arguments\n"
    "were handed to the QET serving this user; 1 nothing to serve (the socket could\n"
    "not be had, or another QET serves this user); 134 an unexpected error.\n";

} // namespace

bool answerOwnOption(int argc, char** argv) {
    if (argc != 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("QET %s\n", ZORV_VERSION_TEXT);
        return true;
    }
    return false;
}

} // namespace qet
