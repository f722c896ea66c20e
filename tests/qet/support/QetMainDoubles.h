#ifndef QET_MAIN_DOUBLES_H
#define QET_MAIN_DOUBLES_H

// Doubles of the application-library classes that main's body uses. Each call
// is recorded (and echoed to stderr for child processes that die of an
// exception); a script decides what they return and which one throws.

#include <QString>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace doubles {

struct Script {
    bool noServer = false;
    bool noConduit = false;
    std::string throwAt; // the call that throws
    int execResult = 0;
    int notServingStatus = 1;
    bool echo = false;
};

struct Packet {
    std::vector<std::string> arguments;
    int references = 0;
    void retain();
    void release();
};

inline Script& script() {
    static Script s;
    return s;
}
inline std::vector<std::string>& events() {
    static std::vector<std::string> e;
    return e;
}
inline std::unique_ptr<Packet>& lastPacket() {
    static std::unique_ptr<Packet> p;
    return p;
}
inline void reset() {
    script() = Script();
    events().clear();
    lastPacket().reset();
}
inline void record(const std::string& event, const std::string& call = "") {
    events().push_back(event);
    if (script().echo) {
        std::fprintf(stderr, "event: %s\n", event.c_str());
    }
    if (!call.empty() && script().throwAt == call) {
        throw std::runtime_error("thrown at " + call);
    }
}

inline void Packet::retain() {
    ++references;
    record("retain");
}
inline void Packet::release() {
    --references;
    record("release");
}

struct Session {
    bool send(Packet* packet) {
        std::string text;
        for (const std::string& a : packet->arguments) {
            text += (text.empty() ? "" : ",") + a;
        }
        record("send " + text + " refs " + std::to_string(packet->references), "send");
        return true;
    }
};

struct Conduit {
    static Packet* packetFromCommandLine(int argc, char** argv) {
        record("packetFromCommandLine " + std::to_string(argc));
        lastPacket().reset(new Packet{std::vector<std::string>(argv, argv + argc)});
        return lastPacket().get();
    }
};

struct InternalConduit {
    static Session* connect() {
        static Session session;
        record("connect");
        return &session;
    }
};

struct Server {
    Conduit* conduit() {
        static Conduit c;
        record("conduit");
        return script().noConduit ? nullptr : &c;
    }
    void setTimeout(long value) { record("setTimeout " + std::to_string(value)); }
    void setMaxConnections(long value) { record("setMaxConnections " + std::to_string(value)); }
};

struct Base {
    static void logDebug(const QString& message) {
        record("logDebug " + message.toStdString(), "logDebug");
    }
};

struct App {
    // Takes "-style X" out of the command line as QApplication does.
    App(int& argc, char** argv, bool gui) {
        record("App " + std::to_string(argc) + (gui ? " gui" : " nogui"));
        for (int i = 1; i + 1 < argc;) {
            if (std::string(argv[i]) == "-style") {
                std::copy(argv + i + 2, argv + argc + 1, argv + i);
                argc -= 2;
            } else {
                ++i;
            }
        }
    }
    ~App() { record("~App"); }
    void initialize() { record("initialize", "initialize"); }
    static void setQuitOnLastWindowClosed(bool quit) {
        record(std::string("setQuitOnLastWindowClosed ") + (quit ? "true" : "false"));
    }
    Server* server() {
        static Server s;
        record("server");
        return script().noServer ? nullptr : &s;
    }
    int exec() {
        record("exec", "exec");
        return script().execResult;
    }
    void uninitialize() { record("uninitialize"); }
    int notServingExitStatus() const { return script().notServingStatus; }
};

} // namespace doubles

#endif
