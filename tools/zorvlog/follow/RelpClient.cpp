#include "follow/RelpClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zorvlog {

namespace {

using Clock = std::chrono::steady_clock;

// What the session offers when it opens: this protocol's version and the one
// command follow uses.
const char* const kOffers = "relp_version=0\nrelp_software=zorvlog\ncommands=syslog";
// Replies are short; a longer frame is no reply of a collector.
const std::size_t kLongestReply = 64 * 1024;
const unsigned kLastTxnr = 999999999;
const int kCloseWaitMs = 200;

bool numericHost(const std::string& host) {
    unsigned char address[16];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

bool allDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace

// The TLS credentials, made once, and the session of the connection.
struct RelpClient::Tls {
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_session_t session = nullptr;

    void end() {
        if (session != nullptr) {
            gnutls_deinit(session);
            session = nullptr;
        }
    }
    ~Tls() {
        end();
        if (credentials != nullptr) {
            gnutls_certificate_free_credentials(credentials);
        }
    }
};

RelpClient::RelpClient(const RelpSettings& settings, int stopFd, std::function<void()> whileWaiting)
    : mSettings(settings), mStopFd(stopFd), mWhileWaiting(std::move(whileWaiting)) {
    if (!settings.tls) {
        return;
    }
    mTls = new Tls;
    if (gnutls_certificate_allocate_credentials(&mTls->credentials) < 0) {
        delete mTls;
        throw RelpTrustError("cannot set TLS up");
    }
    const int authorities = settings.ca.empty()
                                ? gnutls_certificate_set_x509_system_trust(mTls->credentials)
                                : gnutls_certificate_set_x509_trust_file(
                                      mTls->credentials, settings.ca.c_str(), GNUTLS_X509_FMT_PEM);
    std::string trouble;
    if (authorities <= 0) {
        trouble = settings.ca.empty() ? std::string("no trusted certificate authority on this "
                                                    "system (give one with --relp-ca)")
                                      : "--relp-ca " + settings.ca + ": " +
                                            (authorities < 0 ? gnutls_strerror(authorities)
                                                             : "no certificate in it");
    } else if (settings.cert.empty() != settings.key.empty()) {
        trouble = "--relp-cert and --relp-key go together";
    } else if (!settings.cert.empty()) {
        const int loaded = gnutls_certificate_set_x509_key_file(
            mTls->credentials, settings.cert.c_str(), settings.key.c_str(), GNUTLS_X509_FMT_PEM);
        if (loaded < 0) {
            trouble = "--relp-cert " + settings.cert + ", --relp-key " + settings.key + ": " +
                      gnutls_strerror(loaded);
        }
    }
    if (!trouble.empty()) {
        delete mTls;
        mTls = nullptr;
        throw RelpTrustError(trouble);
    }
}

RelpClient::~RelpClient() {
    close();
    delete mTls;
}

void RelpClient::close() {
    if (isOpen()) {
        post("close", "");
        bool blocked = false, got = false;
        if (writeSome(blocked) && !blocked) {
            // The collector's answer, briefly: a collector that finds the
            // connection gone before it answered complains in its log.
            struct pollfd fd = {mFd, POLLIN, 0};
            if (::poll(&fd, 1, kCloseWaitMs) > 0) {
                readSome(got);
            }
            if (mTls != nullptr) {
                gnutls_bye(mTls->session, GNUTLS_SHUT_WR);
            }
        }
    }
    drop();
}

void RelpClient::drop() {
    if (mTls != nullptr) {
        mTls->end();
    }
    if (mFd >= 0) {
        ::close(mFd);
    }
    mFd = -1;
    mOpen = false;
    mOut.clear();
    mIn.clear();
    mOutDone = 0;
    mPendingSend = 0;
}

RelpClient::Outcome RelpClient::broken(const std::string& why) {
    mWhy = why;
    drop();
    return Outcome::kBroken;
}

RelpClient::Outcome RelpClient::waitFor(short events) {
    struct pollfd fds[2] = {{mFd, events, 0}, {mStopFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, kTickMs);
    if (mWhileWaiting) {
        mWhileWaiting();
    }
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        mWhy = "asked to stop";
        return Outcome::kStopped;
    }
    return Outcome::kDone;
}

RelpClient::Outcome RelpClient::open() {
    drop();
    const std::string where = mSettings.host + " port " + mSettings.port;
    Outcome outcome = connectSocket();
    if (outcome != Outcome::kDone) {
        return outcome;
    }
    if (mTls != nullptr && (outcome = handshake()) != Outcome::kDone) {
        return outcome;
    }
    mNext = 1;
    const unsigned txnr = post("open", kOffers);
    std::vector<Reply> replies;
    while (replies.empty()) {
        if ((outcome = exchange(true, replies)) != Outcome::kDone) {
            return outcome;
        }
    }
    if (replies.front().txnr != txnr || replies.front().code != 200) {
        return broken("the collector at " + where + " refused the session: " +
                      std::to_string(replies.front().code) + " " + replies.front().text);
    }
    mOpen = true;
    return Outcome::kDone;
}

RelpClient::Outcome RelpClient::connectSocket() {
    const std::string where = mSettings.host + " port " + mSettings.port;
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    struct addrinfo* found = nullptr;
    const int looked =
        ::getaddrinfo(mSettings.host.c_str(), mSettings.port.c_str(), &hints, &found);
    if (looked != 0) {
        return broken("cannot find " + mSettings.host + ": " + ::gai_strerror(looked));
    }
    std::string trouble = "no address";
    for (struct addrinfo* at = found; at != nullptr && mFd < 0; at = at->ai_next) {
        mFd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                       at->ai_protocol);
        if (mFd < 0) {
            trouble = std::strerror(errno);
            continue;
        }
        int error = 0;
        if (::connect(mFd, at->ai_addr, at->ai_addrlen) != 0) {
            error = errno;
        }
        while (error == EINPROGRESS) {
            if (waitFor(POLLOUT) == Outcome::kStopped) {
                ::freeaddrinfo(found);
                drop();
                return Outcome::kStopped;
            }
            struct pollfd fd = {mFd, POLLOUT, 0};
            if (::poll(&fd, 1, 0) == 1) {
                socklen_t size = sizeof error;
                ::getsockopt(mFd, SOL_SOCKET, SO_ERROR, &error, &size);
            }
        }
        if (error != 0) {
            trouble = std::strerror(error);
            ::close(mFd);
            mFd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (mFd < 0) {
        return broken("cannot connect to " + where + ": " + trouble);
    }
    return Outcome::kDone;
}

RelpClient::Outcome RelpClient::handshake() {
    const std::string name = mSettings.peer.empty() ? mSettings.host : mSettings.peer;
    gnutls_session_t& session = mTls->session;
    if (gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NONBLOCK) < 0) {
        return broken("cannot set TLS up");
    }
    gnutls_set_default_priority(session);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, mTls->credentials);
    if (!numericHost(mSettings.host)) {
        gnutls_server_name_set(session, GNUTLS_NAME_DNS, mSettings.host.data(),
                               mSettings.host.size());
    }
    // The handshake itself refuses a certificate that does not check.
    gnutls_session_set_verify_cert(session, name.c_str(), 0);
    gnutls_transport_set_int(session, mFd);
    const auto until = Clock::now() + std::chrono::milliseconds(kSilenceLimitMs);
    for (;;) {
        const int done = gnutls_handshake(session);
        if (done == GNUTLS_E_SUCCESS) {
            return Outcome::kDone;
        }
        if (done == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            const unsigned status = gnutls_session_get_verify_cert_status(session);
            gnutls_datum_t text = {nullptr, 0};
            std::string reason = "it does not check";
            if (gnutls_certificate_verification_status_print(
                    status, gnutls_certificate_type_get(session), &text, 0) == 0) {
                reason.assign(reinterpret_cast<const char*>(text.data), text.size);
                gnutls_free(text.data);
            }
            drop();
            throw RelpTrustError("the certificate of the collector at " + mSettings.host +
                                 " port " + mSettings.port + " (checked for " + name +
                                 ") is refused: " + reason);
        }
        if (gnutls_error_is_fatal(done) != 0) {
            return broken("TLS with " + mSettings.host + " port " + mSettings.port +
                          " failed: " + gnutls_strerror(done));
        }
        if (Clock::now() > until) {
            return broken("the collector at " + mSettings.host + " port " + mSettings.port +
                          " does not finish the TLS handshake");
        }
        if (waitFor(gnutls_record_get_direction(session) == 1 ? POLLOUT : POLLIN) ==
            Outcome::kStopped) {
            drop();
            return Outcome::kStopped;
        }
    }
}

unsigned RelpClient::post(std::string_view command, std::string_view data) {
    const unsigned txnr = mNext;
    mNext = mNext == kLastTxnr ? 1 : mNext + 1;
    mOut += std::to_string(txnr);
    mOut += ' ';
    mOut.append(command.data(), command.size());
    mOut += ' ';
    mOut += std::to_string(data.size());
    if (!data.empty()) {
        mOut += ' ';
        mOut.append(data.data(), data.size());
    }
    mOut += '\n';
    return txnr;
}

bool RelpClient::writeSome(bool& blocked) {
    blocked = false;
    while (mOutDone < mOut.size()) {
        ssize_t n;
        if (mTls != nullptr) {
            // A send that would block is repeated with the same size.
            const std::size_t size = mPendingSend != 0
                                         ? mPendingSend
                                         : std::min<std::size_t>(mOut.size() - mOutDone, 16384);
            n = gnutls_record_send(mTls->session, mOut.data() + mOutDone, size);
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
                mPendingSend = size;
                blocked = true;
                return true;
            }
            mPendingSend = 0;
            if (n < 0) {
                mWhy = std::string("cannot send to the collector: ") +
                       gnutls_strerror(static_cast<int>(n));
                return false;
            }
        } else {
            n = ::send(mFd, mOut.data() + mOutDone, mOut.size() - mOutDone, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                blocked = true;
                return true;
            }
            if (n < 0) {
                mWhy = std::string("cannot send to the collector: ") + std::strerror(errno);
                return false;
            }
        }
        mOutDone += static_cast<std::size_t>(n);
    }
    mOut.clear();
    mOutDone = 0;
    if (mOut.capacity() > (1u << 20)) { // after a large record
        std::string().swap(mOut);
    }
    return true;
}

bool RelpClient::readSome(bool& got) {
    got = false;
    char buffer[16384];
    for (;;) {
        ssize_t n;
        if (mTls != nullptr) {
            n = gnutls_record_recv(mTls->session, buffer, sizeof buffer);
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
                return true;
            }
            if (n < 0) {
                mWhy = std::string("cannot read from the collector: ") +
                       gnutls_strerror(static_cast<int>(n));
                return false;
            }
        } else {
            n = ::recv(mFd, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            }
            if (n < 0) {
                mWhy = std::string("cannot read from the collector: ") + std::strerror(errno);
                return false;
            }
        }
        if (n == 0) {
            mWhy = "the collector closed the connection";
            return false;
        }
        mIn.append(buffer, static_cast<std::size_t>(n));
        got = true;
    }
}

// Frames of the collector: TXNR COMMAND DATALEN[ DATA]\n.
bool RelpClient::parseReplies(std::vector<Reply>& replies) {
    std::size_t at = 0;
    for (;;) {
        const std::string_view rest = std::string_view(mIn).substr(at);
        const std::size_t first = rest.find(' ');
        const std::size_t second =
            first == std::string_view::npos ? std::string_view::npos : rest.find(' ', first + 1);
        const std::size_t third = second == std::string_view::npos
                                      ? std::string_view::npos
                                      : rest.find_first_of(" \n", second + 1);
        if (third == std::string_view::npos) {
            if (rest.size() > 64) {
                mWhy = "the collector sent something other than RELP";
                return false;
            }
            break;
        }
        const std::string_view txnr = rest.substr(0, first);
        const std::string_view command = rest.substr(first + 1, second - first - 1);
        const std::string_view length = rest.substr(second + 1, third - second - 1);
        if (!allDigits(txnr) || txnr.size() > 9 || !allDigits(length) || length.size() > 9 ||
            std::stoul(std::string(length)) > kLongestReply) {
            mWhy = "the collector sent something other than RELP";
            return false;
        }
        const std::size_t size = std::stoul(std::string(length));
        const std::size_t data = third + (size > 0 ? 1 : 0);
        if (rest.size() < data + size + 1) {
            break;
        }
        if (rest[data + size] != '\n') {
            mWhy = "the collector sent something other than RELP";
            return false;
        }
        const std::string_view body = rest.substr(data, size);
        if (command == "serverclose") {
            mWhy = "the collector closes the session";
            return false;
        }
        if (command == "rsp") {
            Reply reply{static_cast<unsigned>(std::stoul(std::string(txnr))), 0, std::string()};
            if (body.size() >= 3 && allDigits(body.substr(0, 3))) {
                reply.code = std::stoi(std::string(body.substr(0, 3)));
                reply.text = std::string(body.substr(std::min<std::size_t>(4, body.size())));
            }
            replies.push_back(std::move(reply));
        }
        at += data + size + 1;
    }
    mIn.erase(0, at);
    return true;
}

RelpClient::Outcome RelpClient::exchange(bool wait, std::vector<Reply>& replies) {
    const std::size_t before = replies.size();
    auto lastMove = Clock::now();
    for (;;) {
        bool blocked = false, got = false;
        if (mFd < 0) {
            return broken(mWhy.empty() ? "not connected" : mWhy);
        }
        const std::size_t unsent = mOut.size() - mOutDone;
        // Replies that came before the connection ended count.
        const bool wrote = writeSome(blocked);
        const bool read = wrote && readSome(got);
        if (!parseReplies(replies) || !wrote || !read) {
            return broken(mWhy);
        }
        if (got || mOut.size() - mOutDone != unsent) {
            lastMove = Clock::now();
        }
        if (!wait || replies.size() > before) {
            return Outcome::kDone;
        }
        if (mTls != nullptr && gnutls_record_check_pending(mTls->session) > 0) {
            continue;
        }
        if (Clock::now() - lastMove > std::chrono::milliseconds(kSilenceLimitMs)) {
            return broken("the collector has answered nothing for " +
                          std::to_string(kSilenceLimitMs / 1000) + " s");
        }
        if (waitFor(static_cast<short>(POLLIN | (blocked ? POLLOUT : 0))) == Outcome::kStopped) {
            return Outcome::kStopped;
        }
    }
}

} // namespace zorvlog
