#include "PeerHarness.h"
#include "Peers.h"

#ifdef ZORV_HAVE_SPDLOG
#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#endif

namespace zorvpeers {

#ifdef ZORV_HAVE_SPDLOG

namespace {

// The single-threaded sink: our loggers take no in-process lock either (one
// logger object belongs to one thread at a time), so the comparison leaves
// out a lock that neither side needs.
class SpdlogPeer : public PeerLogger {
public:
    explicit SpdlogPeer(const std::string& path)
        : mLogger(std::make_shared<spdlog::logger>(
              "zorv-peer", std::make_shared<spdlog::sinks::basic_file_sink_st>(path, false))) {
        // The same fields as our debug line; spdlog formats its clock for
        // every message where we reuse the section's text.
        mLogger->set_pattern("%P\t%Y/%m/%d\t%H:%M:%S\t%v");
        mLogger->set_level(spdlog::level::info);
        // Without this the sink's stdio buffer would hold records back and
        // the comparison would be with a logger that can lose them.
        mLogger->flush_on(spdlog::level::info);
    }
    const char* name() const override { return "spdlog"; }
    void logRecord() override { mLogger->info("{}\t{}\t", kComponent, kMessage); }
    void logDisabled() override { mLogger->debug("{}\t{}\t", kComponent, kMessage); }

private:
    std::shared_ptr<spdlog::logger> mLogger;
};

} // namespace

std::unique_ptr<PeerLogger> makeSpdlogPeer(const std::string& path) {
    return std::make_unique<SpdlogPeer>(path);
}

bool haveSpdlog() {
    return true;
}

#else

std::unique_ptr<PeerLogger> makeSpdlogPeer(const std::string&) {
    return nullptr;
}

bool haveSpdlog() {
    return false;
}

#endif

} // namespace zorvpeers
