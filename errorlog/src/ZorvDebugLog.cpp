#include <zorv/ZorvDebugLog.h>

#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvLogger.h>

#include <list>
#include <utility>

ZorvDebugLog::ZorvDebugLog(Zorv::VendorID id, TStr message)
    : ZorvLoggable(TStr()), mMessage(std::move(message)), mVendorID(id) {
    setComponentIDStr();
}

ZorvDebugLog::ZorvDebugLog() : ZorvLoggable(TStr()), mVendorID(Zorv::kNone) {
    setComponentIDStr();
}

ZorvDebugLog::~ZorvDebugLog() = default;

void ZorvDebugLog::setComponentIDStr() {
    // 6 was never given a component; like every unknown id it reads "None".
    const char* name = "None";
    switch (static_cast<int>(mVendorID)) {
    case Zorv::kZorvCore:
        name = "ZorvCore";
        break;
    case Zorv::kZorvLumen:
        name = "ZorvLumen";
        break;
    case Zorv::kBrakka:
        name = "Brakka";
        break;
    case Zorv::kBrakkaBoot:
        name = "BrakkaBoot";
        break;
    case Zorv::kZorvPod:
        name = "ZorvPod";
        break;
    case Zorv::kZorvLoom:
        name = "ZorvLoom";
        break;
    case Zorv::kZorvQet:
        name = "ZorvQet";
        break;
    case Zorv::kZorvWyn:
        name = "ZorvWyn";
        break;
    case Zorv::kZorvFell:
        name = "ZorvFell";
        break;
    default:
        break;
    }
    mComponentIDStr = name;
}

void ZorvDebugLog::clear() {
    ZorvLoggable::clear();
    mMessage.clear();
    mVendorID = Zorv::kNone;
    // Deliberately not "None": a cleared record shows an empty component field.
    mComponentIDStr.clear();
}

void ZorvDebugLog::dumpTechSupport(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    std::list<TStr> items{mComponentIDStr, mMessage};
    // kTab may have been pointed elsewhere by a client; read it now.
    const TStr separator(ZorvDelimitedFile::kTab);
    logger->mLogFile.writeDebugLog(items, separator);
}
