#include "zorv/ZorvLoggable.h"

#include "LastingText.h"
#include "SystemCalls.h"
#include "UnameParser.h"
#include "zorv/ZorvLogger.h"

#include <cstdio>
#include <cstring>

const char* const ZorvLoggable::REASON = "Reason";
const char* const ZorvLoggable::OS = "OS";
const char* const ZorvLoggable::COMPUTER_NAME = "ComputerName";

namespace {

const zorv_detail::LastingText kReasonKey(ZorvLoggable::REASON);
const zorv_detail::LastingText kComputerNameKey(ZorvLoggable::COMPUTER_NAME);
const zorv_detail::LastingText kOsKey(ZorvLoggable::OS);

// The shell finds uname through PATH, as the command stands; a setuid or
// setgid client, whose PATH its caller chose, only in the system's own
// directories.
const char kUnameCommand[] = "uname -a";
const char kSecureUnameCommand[] = "PATH=/usr/bin:/bin uname -a";

// fgets reads at most one byte less: longer lines come in 2047-byte pieces,
// each read as a line of its own.
constexpr int kReadBufferSize = 2048;

// pclose on every way out, so that neither the stream nor the child (a
// zombie until waited for) outlives the call when a text allocation throws.
class Pipe {
public:
    explicit Pipe(const char* command) : mStream(::popen(command, "r")) {}
    ~Pipe() {
        if (mStream != nullptr) {
            ::pclose(mStream);
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    FILE* stream() const { return mStream; }

private:
    FILE* mStream;
};

} // namespace

ZorvLoggable::ZorvLoggable(const TStr& reason) : mReason(reason) {}

ZorvLoggable::~ZorvLoggable() = default;

void ZorvLoggable::setReason(const TStr& reason) {
    mReason = reason;
}

TStr ZorvLoggable::getReason() const {
    return mReason;
}

void ZorvLoggable::clear() {
    mReason.clear();
}

void ZorvLoggable::dumpHeaderInfo(ZorvLogger* logger) const {
    if (logger == nullptr || mReason.isEmpty()) {
        return;
    }
    logger->mLogFile.write(kReasonKey, mReason);
}

void ZorvLoggable::dumpSystemInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    TStr computerName;
    TStr osRelease;
    getSystemInformation(computerName, osRelease);
    // Both lines, in this order, also when the command gave nothing.
    logger->mLogFile.write(kComputerNameKey, computerName);
    logger->mLogFile.write(kOsKey, osRelease);
}

void ZorvLoggable::getSystemInformation(TStr& computerName, TStr& osRelease) const {
    TStr node;
    TStr release;
    {
        Pipe uname(zorv_detail::secureExecution() ? kSecureUnameCommand : kUnameCommand);
        if (uname.stream() != nullptr) {
            char line[kReadBufferSize];
            while (std::fgets(line, sizeof line, uname.stream()) != nullptr) {
                const zorv_detail::UnameFields fields =
                    zorv_detail::parseUnamePiece(line, std::strlen(line));
                if (fields.hasNode) {
                    node.setUtf8(fields.node.c_str());
                }
                if (fields.hasRelease) {
                    release.setUtf8(fields.release.c_str());
                    break;
                }
            }
        }
    } // pclose waits for the command to finish
    computerName = node;
    osRelease = release;
}
