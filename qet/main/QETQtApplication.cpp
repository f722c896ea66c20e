#include "qet/QETQtApplication.h"

QETQtApplication::QETQtApplication(int& argc, char** argv, bool)
    : QApplication(argc, argv), QETApplication() {}

QETQtApplication::~QETQtApplication() = default;
