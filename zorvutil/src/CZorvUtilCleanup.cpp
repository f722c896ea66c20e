#include <zorv/CZorvUtilCleanup.h>
#include <zorv/CZorvUtilObjectManager.h>

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

// The clean-up manager: registrations kept in order and run newest first. When
// they run at exit, and what the logging library does at load and unload, is
// told once, in errorlog/src/LibraryLifetime.cpp. This library is never
// unloaded (it is linked with -z nodelete), so its exit handlers cannot
// outlive its code.

namespace {

struct Registration {
    CZorvUtilCleanup* object;
    void* data;
};

struct Registry {
    std::mutex lock;
    std::vector<Registration> entries;
    bool exiting = false;
    // How many times markExiting was registered.
    std::size_t hooks = 0;
};

// Never destroyed: clean-ups may still register or withdraw while other
// libraries' static objects are being destroyed at exit.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// Registered with registrations: one registered once the program runs comes
// before the executable's global destructors at exit, and tells withdraw
// that the process is exiting (one registered while libraries load comes too
// late to matter, and does no harm). Only while the registrations held at
// once reach a new high, though: the first ones of the running program are
// among those, and a client that registers and withdraws over and over
// would otherwise grow the process's exit handlers without end.
void markExiting() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.exiting = true;
}

// Registrations left, and those made later still while static objects are
// destroyed at exit.
struct ExitRunner {
    ~ExitRunner() { CZorvUtilObjectManager::runCleanups(); }
} exitRunner;

} // namespace

CZorvUtilCleanup::~CZorvUtilCleanup() = default;

void CZorvUtilCleanup::cleanup(void*) {}

void CZorvUtilObjectManager::at_exit(CZorvUtilCleanup* object, void* data) {
    if (object == nullptr) {
        return;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.entries.push_back(Registration{object, data});
    if (r.hooks < r.entries.size()) {
        ++r.hooks;
        std::atexit(markExiting);
    }
}

bool CZorvUtilObjectManager::withdraw(CZorvUtilCleanup* object) {
    Registry& r = registry();
    for (;;) {
        Registration next;
        {
            std::lock_guard<std::mutex> guard(r.lock);
            auto last = r.entries.end();
            for (auto it = r.entries.begin(); it != r.entries.end(); ++it) {
                if (it->object == object) {
                    last = it;
                }
            }
            if (last == r.entries.end()) {
                return false;
            }
            if (!r.exiting || last + 1 == r.entries.end()) {
                for (auto it = r.entries.begin(); it != r.entries.end();) {
                    it = it->object == object ? r.entries.erase(it) : it + 1;
                }
                return true;
            }
            // Exiting: the newer clean-ups first, one at a time, as
            // runCleanups takes them.
            next = r.entries.back();
            r.entries.pop_back();
        }
        next.object->cleanup(next.data);
    }
}

void CZorvUtilObjectManager::runCleanups() {
    Registry& r = registry();
    for (;;) {
        Registration next;
        {
            // Take one at a time, newest first, and call it without the lock:
            // a clean-up may register or withdraw others.
            std::lock_guard<std::mutex> guard(r.lock);
            if (r.entries.empty()) {
                return;
            }
            next = r.entries.back();
            r.entries.pop_back();
        }
        next.object->cleanup(next.data);
    }
}
