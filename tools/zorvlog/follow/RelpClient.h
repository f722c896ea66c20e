#ifndef ZORVLOG_RELPCLIENT_H
#define ZORVLOG_RELPCLIENT_H

#include "follow/RelpSettings.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zorvlog {

// A collector that cannot be trusted: its certificate does not check, or
// the files to check it with cannot be used. Trying again would not help,
// and falling back to plain TCP would hand records to whoever listens.
class RelpTrustError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One RELP session with a collector, over TCP or TLS: frames out, replies
// in. Nothing here blocks beyond a stop: every wait also watches stopFd
// (readable once the follower is asked to stop) and calls whileWaiting at
// least every kTickMs, so that the follower stays responsive and its
// watchdog is fed however the collector behaves.
class RelpClient {
public:
    static constexpr int kTickMs = 500;
    // A collector that neither takes nor answers anything for this long while
    // replies are awaited is taken for gone, and the session is made anew.
    static constexpr int kSilenceLimitMs = 30000;

    enum class Outcome { kDone, kStopped, kBroken };
    struct Reply {
        unsigned txnr;
        int code;         // 200: done
        std::string text; // what follows the code
    };

    // Throws RelpTrustError when the TLS files cannot be used.
    RelpClient(const RelpSettings& settings, int stopFd, std::function<void()> whileWaiting);
    ~RelpClient();
    RelpClient(const RelpClient&) = delete;
    RelpClient& operator=(const RelpClient&) = delete;

    // Connects and opens the session (kDone). Throws RelpTrustError when the
    // collector's certificate does not check.
    Outcome open();
    bool isOpen() const { return mFd >= 0 && mOpen; }
    // Drops the connection at once, whatever is queued or unanswered.
    void drop();
    // Asks the collector to end the session, as far as that goes without
    // waiting, then drops the connection.
    void close();

    // Queues a command; its transaction number.
    unsigned post(std::string_view command, std::string_view data);
    // Bytes queued and not yet written.
    std::size_t unsent() const { return mOut.size() - mOutDone; }
    // Writes what is queued and collects the replies that came; with wait,
    // until at least one reply came.
    Outcome exchange(bool wait, std::vector<Reply>& replies);

    // Why the last outcome was not kDone, in words for a person.
    const std::string& why() const { return mWhy; }

private:
    Outcome connectSocket();
    Outcome handshake();
    Outcome broken(const std::string& why);
    // Waits for the socket to be ready for events, or for a stop.
    Outcome waitFor(short events);
    bool writeSome(bool& blocked);
    bool readSome(bool& got);
    bool parseReplies(std::vector<Reply>& replies);

    RelpSettings mSettings;
    int mStopFd;
    std::function<void()> mWhileWaiting;
    struct Tls;
    Tls* mTls = nullptr;
    int mFd = -1;
    bool mOpen = false;
    unsigned mNext = 1;
    std::string mOut, mIn;
    std::size_t mOutDone = 0;
    std::size_t mPendingSend = 0; // a TLS send to repeat with the same size
    std::string mWhy;
};

} // namespace zorvlog

#endif
