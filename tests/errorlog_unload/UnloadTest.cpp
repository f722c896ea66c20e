// The logging library loaded and unloaded at run time, as a plug-in host
// would: this program does not link it, so dlclose really unmaps it.

#include "support/TestSupport.h"

#include <zorv/CZorvUtilObjectManager.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

class ZorvLogger;

namespace {

using LoggerFunction = ZorvLogger* (*)();

struct Library {
    void* handle = nullptr;
    LoggerFunction instance = nullptr;
    LoggerFunction instanceM = nullptr;
};

// ZorvLogger::instance() and ZorvLogger::instance_m(), by their mangled names.
Library load() {
    Library lib;
    lib.handle = ::dlopen(ZORV_ERRORLOG_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (lib.handle != nullptr) {
        lib.instance =
            reinterpret_cast<LoggerFunction>(::dlsym(lib.handle, "_ZN10ZorvLogger8instanceEv"));
        lib.instanceM =
            reinterpret_cast<LoggerFunction>(::dlsym(lib.handle, "_ZN10ZorvLogger10instance_mEv"));
    }
    return lib;
}

bool stillLoaded() {
    void* handle = ::dlopen(ZORV_ERRORLOG_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        ::dlclose(handle);
        return true;
    }
    return false;
}

} // namespace

TEST(LibraryUnloadTest, DefaultLoggersLeaveWithTheLibrary) {
    zorvtest::IsolatedHome home;
    for (int round = 0; round < 2; ++round) {
        Library lib = load();
        ASSERT_NE(nullptr, lib.handle) << ::dlerror();
        ASSERT_NE(nullptr, lib.instance);
        ASSERT_NE(nullptr, lib.instanceM);
        ZorvLogger* byInstance = lib.instance();
        ZorvLogger* byInstanceM = lib.instanceM();
        ASSERT_NE(nullptr, byInstance);
        ASSERT_NE(nullptr, byInstanceM);
        EXPECT_NE(byInstance, byInstanceM);
        EXPECT_EQ(byInstanceM, lib.instanceM());

        ASSERT_EQ(0, ::dlclose(lib.handle));
        ASSERT_FALSE(stillLoaded()) << "the library could not be unloaded";
        // The singleton registered itself with the clean-up manager, which
        // lives on in the utility library. Had the registration survived the
        // unload, this would call cleanup() in unmapped code.
        CZorvUtilObjectManager::runCleanups();
    }
}
