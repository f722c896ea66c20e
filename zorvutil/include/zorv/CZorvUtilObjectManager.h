#ifndef CZORV_UTIL_OBJECT_MANAGER_H
#define CZORV_UTIL_OBJECT_MANAGER_H

#include "CZorvUtilCleanup.h"

// Runs registered clean-ups once each, in reverse order of registration, when
// the process exits: after the executable's global objects are destroyed and
// before the logging library's own static objects go.
class ZORV_UTIL_EXPORT CZorvUtilObjectManager {
public:
    // Registers object->cleanup(data) to run at exit. A null object is ignored.
    // The object must outlive the manager's run: a heap object (as
    // CZorvUtilSingleton's is), never one of static or automatic storage,
    // which may be gone by then.
    static void at_exit(CZorvUtilCleanup* object, void* data);
    // Withdraws every registration of the object; true when there was one. A
    // library unloaded with dlclose withdraws what it registered, so that
    // nothing calls into unloaded code. When the process exits, a library's
    // statics go (it withdraws there too) after the executable's global
    // objects: then the clean-ups registered after the object run first,
    // newest first, so that they still find that library whole.
    static bool withdraw(CZorvUtilCleanup* object);
    // Runs the registered clean-ups now, each once, newest first, and forgets
    // them. Clean-ups registered while it runs are run too.
    static void runCleanups();
};

#endif
