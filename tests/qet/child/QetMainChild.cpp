// Runs main's body in a fresh process for the scenarios that cannot run inside
// a test: an exception that nothing catches, and a real application whose
// last window gets closed. Usage: qet_main_child SCENARIO [ARG...]

#include "QETMain.h"
#include "QetMainDoubles.h"

#include <qet/QETBase.h>
#include <qet/QETPipeConduit.h>
#include <qet/QETPipeInternalConduit.h>
#include <qet/QETPipePacket.h>
#include <qet/QETPipeServer.h>
#include <qet/QETPipeSession.h>
#include <qet/QETQtApplication.h>

#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

constexpr int kWindowShownMs = 100;
// Turns of the event loop after the close: one that ends with the window has
// ended long before (the close posts its quit at once).
constexpr int kTurnsAfterClose = 3;

// Runs fn after `turns` more turns of the event loop.
void afterTurns(int turns, const std::function<void()>& fn) {
    QTimer::singleShot(0, [turns, fn] {
        if (turns > 1) {
            afterTurns(turns - 1, fn);
        } else {
            fn();
        }
    });
}

// The real application, which also shows a window, closes it, and then
// reports whether the event loop survived that.
class WindowClosingApp : public QETQtApplication {
public:
    WindowClosingApp(int& argc, char** argv, bool gui) : QETQtApplication(argc, argv, gui) {}

    void initialize() override {
        QETQtApplication::initialize();
        const bool control = std::getenv("QET_CHILD_QUIT_ON_CLOSE") != nullptr;
        QTimer::singleShot(0, [control] {
            // The control run undoes main's setting, proving that the check
            // below notices a loop that ends with the window.
            if (control) {
                QApplication::setQuitOnLastWindowClosed(true);
            }
            QWidget* window = new QWidget;
            window->setAttribute(Qt::WA_DeleteOnClose);
            window->show();
            QTimer::singleShot(kWindowShownMs, window, [window] {
                std::fprintf(stderr, "window closed: %d\n", int(window->close()));
                std::fflush(stderr);
                afterTurns(kTurnsAfterClose, [] {
                    std::fprintf(stderr, "still running\n");
                    std::fflush(stderr);
                    QCoreApplication::exit(7);
                });
            });
        });
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qet_main_child SCENARIO [ARG...]\n");
        return 2;
    }
    const std::string scenario = argv[1];
    // What main would get: a program name, then the rest.
    int qetArgc = argc - 1;
    char** qetArgv = argv + 1;
    if (scenario == "close-last-window") {
        const int status =
            qet::run<QETBase, WindowClosingApp, QETPipeConduit, QETPipeInternalConduit>(qetArgc,
                                                                                        qetArgv);
        std::fprintf(stderr, "exit status %d\n", status);
        return status;
    }
    if (scenario.compare(0, 9, "throw-at-") == 0) {
        doubles::script().throwAt = scenario.substr(9);
        doubles::script().echo = true;
        // Deliberately no handler here: the exception leaves main's body
        // uncaught, as it would leave main.
        return qet::run<doubles::Base, doubles::App, doubles::Conduit, doubles::InternalConduit>(
            qetArgc, qetArgv);
    }
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
}
