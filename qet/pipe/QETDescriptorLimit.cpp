#include "QETDescriptorLimit.h"

#include <dirent.h>
#include <sys/resource.h>

namespace {

long openDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 0;
    }
    long count = 0;
    while (const struct dirent* entry = ::readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(dir);
    return count - 1; // the directory's own
}

} // namespace

long zorv_detail::connectionCap() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1;
    }
    const rlim_t wanted =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max > rlim_t(kDescriptorLimit)
            ? rlim_t(kDescriptorLimit)
            : limit.rlim_max;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            ::getrlimit(RLIMIT_NOFILE, &limit);
        }
    }
    // A soft limit already higher is left alone, but the cap stays sensible.
    const long soft = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > rlim_t(kDescriptorLimit)
                          ? kDescriptorLimit
                          : long(limit.rlim_cur);
    const long cap = soft - openDescriptors() - kHeadroom;
    return cap > 1 ? cap : 1;
}
