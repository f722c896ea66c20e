#ifndef ZORVLOG_WATCHES_H
#define ZORVLOG_WATCHES_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace zorvlog {

// The follower's inotify: one instance for all its logs, and for each watch
// the logs it serves, so that a wake looks only at the logs whose files or
// directory changed. Where inotify cannot be had (the user's instances are
// used up) or a watch cannot be added (the user's watches are used up), it
// says so once, naming the limit to raise, and the logs concerned are
// looked at every second instead (polled()).
//
// A watch on a generation lasts while some log holds that generation open
// (hold()); a watch on a log's directory lasts as long as the follower.
class Watches {
public:
    Watches();
    ~Watches();
    Watches(const Watches&) = delete;
    Watches& operator=(const Watches&) = delete;

    // The descriptor to wait on; -1 without inotify.
    int fd() const { return mFd; }
    // Watches what `fd` is open on (not what its name leads to by now) for
    // log number `log`. `name`: the fd is the log's directory and the log's
    // file name is this; an event for a file in it concerns the log when the
    // file's name starts with it (its generations' names do).
    void add(std::size_t log, int fd, std::uint32_t events, const std::string& name = "");
    // The log holds only these generations (device, inode) open now: the
    // watches on others end for it.
    void hold(std::size_t log, const std::set<std::pair<dev_t, ino_t>>& files);
    // Reads what inotify reported and marks the logs concerned in `due`
    // (all of them when events were lost to a full queue).
    void drain(std::vector<bool>& due);
    // Whether the log is looked at every second, for want of inotify.
    bool polled(std::size_t log) const { return mFd < 0 || mPolled.count(log) != 0; }
    bool anyPolled() const { return mFd < 0 || !mPolled.empty(); }

private:
    struct Watch {
        dev_t dev = 0;
        ino_t ino = 0;
        bool directory = false;
        std::set<std::size_t> logs; // served
        // In a directory: the logs by their file names.
        std::map<std::string, std::set<std::size_t>, std::less<>> named;
    };

    int mFd = -1;
    std::map<int, Watch> mWatches;               // by watch descriptor
    std::map<std::size_t, std::set<int>> mByLog; // the watch descriptors of each log
    std::set<std::size_t> mPolled;
    bool mWatchFailSaid = false;
};

// The watches of one log, as the log adds them; none without Watches.
struct LogWatch {
    Watches* watches = nullptr;
    std::size_t log = 0;

    void add(int fd, std::uint32_t events, const std::string& name = "") const {
        if (watches != nullptr) {
            watches->add(log, fd, events, name);
        }
    }
};

} // namespace zorvlog

#endif
