#ifndef QET_QTAPPLICATION_H
#define QET_QTAPPLICATION_H

#include "QETApplication.h"

#include <QApplication>

// The process's application object: Qt's GUI application first, QET's second,
// so the QET part is torn down while Qt is still there.
class QET_EXPORT QETQtApplication : public QApplication, public QETApplication {
public:
    // The bool is the old GUI switch. Qt 5 has only GUI applications and
    // reads its third parameter as internal flags, so it is not passed on.
    QETQtApplication(int& argc, char** argv, bool guiEnabled = true);
    ~QETQtApplication() override;
};

#endif
