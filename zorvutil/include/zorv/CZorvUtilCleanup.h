#ifndef CZORV_UTIL_CLEANUP_H
#define CZORV_UTIL_CLEANUP_H

#include "ZorvUtilExport.h"

// Something that the clean-up manager calls once when it runs its clean-ups.
class ZORV_UTIL_EXPORT CZorvUtilCleanup {
public:
    virtual ~CZorvUtilCleanup();
    virtual void cleanup(void* data);
};

#endif
