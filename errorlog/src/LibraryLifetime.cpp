// The logging library's life in a process, in order:
//
// 1. Load (at start, or at dlopen): the clean-up that ends the logger of
//    ZorvLogger::instance() is registered with the utility library's clean-up
//    manager, before any clean-up a client registers.
// 2. Running: clients register clean-ups (CZorvUtilSingleton<ZorvLogger>'s
//    among them, at the first instance_m()); the manager keeps them in order.
// 3. Exit: exit() runs the exit handlers and the destructors of static objects
//    in the reverse order of their registration, except that those of every
//    shared library run together, library by library (dependents first), when
//    the dynamic loader's own handler comes; that handler was registered
//    after the libraries loaded at start were initialised and before the
//    executable's global objects were made. So the executable's global objects
//    go first (one whose destructor logs finds its logger whole); then this
//    library's first static destructor, the one below, withdraws the clean-up
//    of step 1, and the manager, knowing the process exits (an exit handler
//    it registers with each new high of registrations tells it), first runs
//    every clean-up registered after that one, newest first: a client's, and
//    the singleton's logger after those registered after it. Then the logger
//    of instance() goes, while this library is whole; the utility library's
//    statics run what is left (registrations older than step 1, or made later
//    still). When every registration came while libraries were still loading,
//    the manager does not know in time, and the singleton goes first.
// 4. Unload (dlclose): the same destructor runs; the utility library outlives
//    this one (it is linked with -z nodelete), so everything this library
//    registered there is withdrawn before its code is unmapped.
//
// The destructor below must be the first of the library's statics to go: this
// file's object is linked last (errorlog/CMakeLists.txt), so its statics are
// made last and destroyed first.

#include "zorv/ZorvLogger.h"

#include <zorv/CZorvUtilObjectManager.h>

namespace {

struct DefaultLoggerCleanup : CZorvUtilCleanup {
    void cleanup(void*) override { ZorvLogger::close(); }
};
CZorvUtilCleanup* loadedCleanup = nullptr;

// Steps 3 and 4.
struct LibraryUnload {
    ~LibraryUnload() {
        CZorvUtilObjectManager::withdraw(loadedCleanup);
        CZorvUtilSingleton<ZorvLogger>*& singleton = CZorvUtilSingleton<ZorvLogger>::instance_i();
        if (singleton != nullptr) {
            CZorvUtilObjectManager::withdraw(singleton);
            singleton->cleanup(nullptr);
        }
        ZorvLogger::close();
        delete loadedCleanup;
        loadedCleanup = nullptr;
    }
} libraryUnload;

// Step 1.
const bool kLoadedCleanupRegistered = [] {
    loadedCleanup = new DefaultLoggerCleanup;
    CZorvUtilObjectManager::at_exit(loadedCleanup, nullptr);
    return true;
}();

} // namespace
