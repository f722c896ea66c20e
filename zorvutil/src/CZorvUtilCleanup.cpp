#include <zorv/CZorvUtilCleanup.h>
#include <zorv/CZorvUtilObjectManager.h>

#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Registration {
    CZorvUtilCleanup* object;
    void* data;
};

struct Registry {
    std::mutex lock;
    std::vector<Registration> entries;
    bool exitHandlerSet = false;
};

// Never destroyed: clean-ups may still register or withdraw while other
// libraries' static objects are being destroyed at exit.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// At exit, the clean-ups run from an exit handler registered when the first
// one came: exit handlers and the destructors of static objects run in the
// reverse order of their registration, so every library and object that
// existed before that first registration (the logging library's own statics
// among them) is still whole while the clean-ups run. This library is never
// unloaded (it is linked with -z nodelete), so the handler cannot outlive its
// code.
void runCleanupsAtExit() {
    CZorvUtilObjectManager::runCleanups();
}

// Registrations made later still, while static objects are destroyed at exit.
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
    if (!r.exitHandlerSet) {
        r.exitHandlerSet = std::atexit(runCleanupsAtExit) == 0;
    }
}

bool CZorvUtilObjectManager::withdraw(CZorvUtilCleanup* object) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    bool found = false;
    for (auto it = r.entries.begin(); it != r.entries.end();) {
        if (it->object == object) {
            it = r.entries.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
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
