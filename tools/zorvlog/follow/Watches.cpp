#include "follow/Watches.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// Looks between the logs' own looks, for a follower without inotify.
const char* const kPolling = "looking at the logs concerned every second instead";

} // namespace

Watches::Watches() {
    mFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (mFd < 0) {
        const int error = errno;
        // EMFILE is also this process's own descriptor limit, which the
        // follower raised to its hard limit before.
        std::fprintf(stderr, "zorvlog follow: cannot use inotify: %s%s; %s\n", std::strerror(error),
                     error == EMFILE ? " (raise fs.inotify.max_user_instances: this user's "
                                       "processes hold all the instances it allows)"
                                     : "",
                     kPolling);
    }
}

Watches::~Watches() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

void Watches::add(std::size_t log, int fd, std::uint32_t events, const std::string& name) {
    struct stat st;
    if (mFd < 0 || fd < 0 || ::fstat(fd, &st) != 0) {
        return;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const int wd = ::inotify_add_watch(mFd, link, events);
    if (wd < 0) {
        const int error = errno;
        if (!mWatchFailSaid) {
            std::fprintf(stderr, "zorvlog follow: cannot add an inotify watch: %s%s; %s\n",
                         std::strerror(error),
                         error == ENOSPC ? " (raise fs.inotify.max_user_watches: this user's "
                                           "processes hold all the watches it allows)"
                                         : "",
                         kPolling);
            mWatchFailSaid = true;
        }
        mPolled.insert(log);
        return;
    }
    Watch& watch = mWatches[wd];
    watch.dev = st.st_dev;
    watch.ino = st.st_ino;
    watch.directory = S_ISDIR(st.st_mode);
    watch.logs.insert(log);
    if (watch.directory) {
        watch.named[name].insert(log);
    }
    mByLog[log].insert(wd);
}

void Watches::hold(std::size_t log, const std::set<std::pair<dev_t, ino_t>>& files) {
    std::set<int>& mine = mByLog[log];
    for (auto wd = mine.begin(); wd != mine.end();) {
        const auto watch = mWatches.find(*wd);
        if (watch != mWatches.end() &&
            (watch->second.directory || files.count({watch->second.dev, watch->second.ino}) != 0)) {
            ++wd;
            continue;
        }
        if (watch != mWatches.end()) {
            watch->second.logs.erase(log);
            if (watch->second.logs.empty()) {
                ::inotify_rm_watch(mFd, watch->first);
                mWatches.erase(watch);
            }
        }
        wd = mine.erase(wd);
    }
}

void Watches::drain(std::vector<bool>& due) {
    alignas(struct inotify_event) char buffer[16384];
    ssize_t n;
    while (mFd >= 0 && (n = ::read(mFd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            const auto watch = mWatches.find(event->wd);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                due.assign(due.size(), true);
                continue;
            }
            if (watch == mWatches.end()) {
                continue;
            }
            const std::string_view name =
                event->len > 0 ? std::string_view(event->name) : std::string_view();
            auto concerned = [&](const std::set<std::size_t>& logs) {
                for (const std::size_t log : logs) {
                    if (log < due.size()) {
                        due[log] = true;
                    }
                }
            };
            if (name.empty() || !watch->second.directory) {
                concerned(watch->second.logs);
            }
            // A file in a directory concerns the logs whose names begin its
            // name: one lookup for each of its beginnings.
            for (std::size_t length = 1; !name.empty() && length <= name.size(); ++length) {
                const auto named = watch->second.named.find(name.substr(0, length));
                if (named != watch->second.named.end()) {
                    concerned(named->second);
                }
            }
            if ((event->mask & IN_IGNORED) != 0) {
                mWatches.erase(watch);
            }
        }
    }
}

} // namespace zorvlog
