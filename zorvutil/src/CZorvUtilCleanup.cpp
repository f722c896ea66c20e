#include <zorv/CZorvUtilCleanup.h>
#include <zorv/CZorvUtilObjectManager.h>

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
};

// Never destroyed: clean-ups may still register or withdraw while other
// libraries' static objects are being destroyed at exit.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// Runs the clean-ups when the process exits or this library is unloaded.
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
