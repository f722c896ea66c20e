#include "QETMain.h"

#include <qet/QETBase.h>
#include <qet/QETPipeConduit.h>
#include <qet/QETPipeInternalConduit.h>
#include <qet/QETPipePacket.h>
#include <qet/QETPipeServer.h>
#include <qet/QETPipeSession.h>
#include <qet/QETQtApplication.h>

int main(int argc, char** argv) {
    return qet::run<QETBase, QETQtApplication, QETPipeConduit, QETPipeInternalConduit>(argc,
                                                                                           argv);
}
