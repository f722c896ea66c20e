#include "QETMain.h"
#include "QETOwnOptions.h"
#include "QtStartup.h"

#include <qet/QETBase.h>
#include <qet/QETPipeConduit.h>
#include <qet/QETPipeInternalConduit.h>
#include <qet/QETPipePacket.h>
#include <qet/QETPipeServer.h>
#include <qet/QETPipeSession.h>
#include <qet/QETQtApplication.h>

int main(int argc, char** argv) {
    if (qet::answerOwnOption(argc, argv)) {
        return 0;
    }
    qet::dropQtRuntimeDirMessages();
    std::vector<char*> args = qet::serveOffscreenWithoutDisplay(argc, argv);
    int count = static_cast<int>(args.size()) - 1;
    return qet::run<QETBase, QETQtApplication, QETPipeConduit, QETPipeInternalConduit>(count,
                                                                                       args.data());
}
