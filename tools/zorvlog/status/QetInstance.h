#ifndef ZORVLOG_QETINSTANCE_H
#define ZORVLOG_QETINSTANCE_H

#include <string>

namespace zorvlog {

// Whether a QET serves this user, told from its instance lock ("QET.lock" in
// the lock place, an flock held while QET runs) without connecting: a
// connection would start a socket-activated QET. The lock is looked up in the
// kernel's list of locks rather than tried: a probe that held it even for a
// moment could make a QET starting at that moment believe another one serves
// and give up.
struct QetInstance {
    enum State { kServing, kNotServing, kUnknown };

    State state = kUnknown;
    std::string lockFile;
    long pid = 0;       // the lock's holder, when serving
    std::string socket; // what the holder wrote into the lock file once it listened
    std::string detail; // why not serving or unknown, for a person

    // Looks in lockDirectory (the user's lock place).
    static QetInstance find(const std::string& lockDirectory);
};

} // namespace zorvlog

#endif
