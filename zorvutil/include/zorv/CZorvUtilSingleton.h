#ifndef CZORV_UTIL_SINGLETON_H
#define CZORV_UTIL_SINGLETON_H

#include "CZorvUtilCleanup.h"
#include "CZorvUtilObjectManager.h"

// One object of T per process, created on first request and destroyed when the
// clean-up manager runs. No lock: the first instance() must not race.
template <class T> class CZorvUtilSingleton : public CZorvUtilCleanup {
public:
    static T* instance() {
        CZorvUtilSingleton*& s = instance_i();
        if (s == nullptr) {
            CZorvUtilSingleton* created = new CZorvUtilSingleton();
            s = created;
            CZorvUtilObjectManager::at_exit(created, nullptr);
        }
        return &s->mObject;
    }

    static CZorvUtilSingleton*& instance_i() { return singleton_; }

    ~CZorvUtilSingleton() override = default;

    void cleanup(void*) override {
        if (singleton_ == this) {
            singleton_ = nullptr;
        }
        delete this;
    }

    CZorvUtilSingleton(const CZorvUtilSingleton&) = delete;
    CZorvUtilSingleton& operator=(const CZorvUtilSingleton&) = delete;

private:
    CZorvUtilSingleton() = default;

    T mObject;
    static CZorvUtilSingleton* singleton_;
};

template <class T> CZorvUtilSingleton<T>* CZorvUtilSingleton<T>::singleton_ = nullptr;

#endif
