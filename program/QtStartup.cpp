#include "QtStartup.h"

#include "SystemCalls.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qet {

namespace {

QtMessageHandler gPrevious = nullptr;

bool aboutRuntimeDirectory(const QString& message) {
    return message.startsWith(QLatin1String("QStandardPaths: ")) &&
           (message.contains(QLatin1String("XDG_RUNTIME_DIR")) ||
            message.contains(QLatin1String("runtime directory")));
}

void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && aboutRuntimeDirectory(message)) {
        return;
    }
    if (gPrevious != nullptr) {
        gPrevious(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
}

bool isSet(const char* variable) {
    const char* value = zorv_detail::environmentValue(variable);
    return value != nullptr && value[0] != '\0';
}

bool platformOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

void dropQtRuntimeDirMessages() {
    gPrevious = qInstallMessageHandler(handle);
}

std::vector<char*> serveOffscreenWithoutDisplay(int argc, char** argv) {
    static char option[] = "-platform";
    static char offscreen[] = "offscreen";
    std::vector<char*> args(argv, argv + argc);
    if (argc > 0 && !isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && !isSet("QT_QPA_PLATFORM") &&
        !platformOption(argc, argv)) {
        args.insert(args.begin() + 1, {option, offscreen});
    }
    args.push_back(nullptr);
    return args;
}

} // namespace qet
