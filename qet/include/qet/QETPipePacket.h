#ifndef QET_PIPEPACKET_H
#define QET_PIPEPACKET_H

#include "QETBase.h"

#include <QStringList>

// One request: the arguments of a command line. Reference-counted (QETBase):
// it starts with no owner, and every holder retains it for as long as it
// keeps it.
class QET_EXPORT QETPipePacket : public QETBase {
public:
    explicit QETPipePacket(const QStringList& arguments);
    ~QETPipePacket() override;

    const QStringList& arguments() const { return mArguments; }

private:
    QStringList mArguments;
};

#endif
