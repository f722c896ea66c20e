#include "qet/QETQtApplication.h"

QETQtApplication::QETQtApplication(int& argc, char** argv, bool guiEnabled)
    : QApplication(argc, argv), QETApplication(), mGuiEnabled(guiEnabled) {}

QETQtApplication::~QETQtApplication() = default;
