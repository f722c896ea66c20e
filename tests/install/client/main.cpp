// A client outside the tree: one header, one library, all three kinds of record.
#include <zorv/ErrorLog.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    ZorvLogger* logger = ZorvLogger::instance();
    logger->setLogFileName(TStr(argv[1]));
    logger->startLogging();
    ZorvErrorBase error(Zorv::kZorvQet, 1, __FILE__, __LINE__, "5.0.0");
    logger->log(error);
    ZorvLogger::close();

    ZorvDebugLogger debug;
    debug.startLoggingWMilliSecs();
    debug.log(ZorvDebugLog(Zorv::kZorvQet, "from an installed client"));

    ZorvPerfLogger perf;
    perf.startLogging();
    ZorvPerfLogData data;
    data.mFirst = "a";
    data.mSecond = "b";
    data.mThird = "c";
    data.mFourth = "d";
    data.mFifth = "e";
    perf.log(ZorvPerfLog(Zorv::kZorvCore, data));
    return 0;
}
