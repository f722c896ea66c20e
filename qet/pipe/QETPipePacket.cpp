#include "qet/QETPipePacket.h"

QETPipePacket::QETPipePacket(const QStringList& arguments) : mArguments(arguments) {}

QETPipePacket::~QETPipePacket() = default;
