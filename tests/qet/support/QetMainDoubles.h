#ifndef QET_MAIN_DOUBLES_H
#define QET_MAIN_DOUBLES_H

// Doubles of the application-library classes that main's body uses. Each call
// is recorded (and echoed to stderr when asked, for child processes that die
// of an exception); a script decides what they return and where one throws.

#include <QString>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace doubles {

struct Script {
    bool noServer = false;
    bool noConduit = false;
    std::string throwAt; // event name whose call throws
    int execResult = 0;
    bool echo = false;
};

inline Script& script() {
    static Script s;
    return s;
}

inline std::vector<std::string>& events() {
    static std::vector<std::string> e;
    return e;
}

inline void reset() {
    script() = Script();
    events().clear();
}

inline void record(const std::string& event) {
    events().push_back(event);
    if (script().echo) {
        std::fprintf(stderr, "event: %s\n", event.c_str());
        std::fflush(stderr);
    }
}

inline void maybeThrow(const std::string& at) {
    if (script().throwAt == at) {
        throw std::runtime_error("thrown at " + at);
    }
}

struct Packet {
    std::vector<std::string> arguments;
    int references = 0;
    void retain() {
        ++references;
        record("retain");
    }
    void release() {
        --references;
        record("release");
    }
};

inline std::unique_ptr<Packet>& lastPacket() {
    static std::unique_ptr<Packet> p;
    return p;
}

struct Session {
    bool send(Packet* packet) {
        std::string text;
        for (const std::string& a : packet->arguments) {
            text += (text.empty() ? "" : ",") + a;
        }
        record("send " + text + " refs " + std::to_string(packet->references));
        maybeThrow("send");
        return true;
    }
};

struct Conduit {
    static Packet* packetFromCommandLine(int argc, char** argv) {
        record("packetFromCommandLine " + std::to_string(argc));
        lastPacket().reset(new Packet);
        for (int i = 0; i < argc; ++i) {
            lastPacket()->arguments.push_back(argv[i]);
        }
        return lastPacket().get();
    }
};

struct InternalConduit {
    static Session* connect() {
        record("connect");
        static Session session;
        return &session;
    }
};

struct Server {
    Conduit* conduit() {
        record("conduit");
        static Conduit c;
        return script().noConduit ? nullptr : &c;
    }
    void setTimeout(long value) { record("setTimeout " + std::to_string(value)); }
    void setMaxConnections(long value) { record("setMaxConnections " + std::to_string(value)); }
};

struct Base {
    static void logDebug(const QString& message) {
        record("logDebug " + message.toStdString());
        maybeThrow("logDebug");
    }
};

struct App {
    // Takes Qt's own "-style X" out of the command line as QApplication
    // does, lowering argc.
    App(int& argc, char** argv, bool gui) {
        record("App " + std::to_string(argc) + (gui ? " gui" : " nogui"));
        for (int i = 1; i < argc;) {
            if (std::string(argv[i]) == "-style" && i + 1 < argc) {
                for (int j = i; j + 2 <= argc; ++j) {
                    argv[j] = argv[j + 2];
                }
                argc -= 2;
            } else {
                ++i;
            }
        }
        maybeThrow("App");
    }
    ~App() { record("~App"); }
    void initialize() {
        record("initialize");
        maybeThrow("initialize");
    }
    static void setQuitOnLastWindowClosed(bool quit) {
        record(std::string("setQuitOnLastWindowClosed ") + (quit ? "true" : "false"));
    }
    Server* server() {
        record("server");
        static Server s;
        return script().noServer ? nullptr : &s;
    }
    int exec() {
        record("exec");
        maybeThrow("exec");
        return script().execResult;
    }
    void uninitialize() { record("uninitialize"); }
};

} // namespace doubles

#endif
