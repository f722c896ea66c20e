#ifndef CZORV_UTIL_OBJECT_MANAGER_H
#define CZORV_UTIL_OBJECT_MANAGER_H

#include "CZorvUtilCleanup.h"

// Runs registered clean-ups once each, in reverse order of registration, when
// the process exits (or the utility library is unloaded).
class ZORV_UTIL_EXPORT CZorvUtilObjectManager {
public:
    // Registers object->cleanup(data) to run at exit. A null object is ignored.
    static void at_exit(CZorvUtilCleanup* object, void* data);
    // Withdraws every registration of the object; true when there was one. A
    // library unloaded with dlclose withdraws what it registered, so that
    // nothing calls into unloaded code.
    static bool withdraw(CZorvUtilCleanup* object);
    // Runs the registered clean-ups now, each once, newest first, and forgets
    // them. Clean-ups registered while it runs are run too.
    static void runCleanups();
};

#endif
