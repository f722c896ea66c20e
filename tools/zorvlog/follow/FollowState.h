#ifndef ZORVLOG_FOLLOWSTATE_H
#define ZORVLOG_FOLLOWSTATE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct stat;

namespace zorvlog {

// Where reading stands in one generation (one file, from its creation until it
// is rotated away and finished) of a followed log.
struct FollowPosition {
    std::uint64_t dev = 0, ino = 0;
    // The identity in record keys that a state of an older format gave the
    // generation; it keeps it for the rest of its records. Empty otherwise.
    std::string id;
    std::uint64_t offset = 0; // the end of the last record handed out
    std::uint64_t line = 0;   // lines before offset
    std::uint32_t crc = 0;    // CRC-32 of the bytes before offset
    // CRC-32 of the first min(offset, LogInput::kHead) bytes (not in a state
    // of the first format), to pass over other files quickly.
    std::uint32_t head = 0;
    bool headKnown = true;
    // The file's owner, trusted again on a restart (not in the first format).
    std::uint32_t owner = 0;
    bool ownerKnown = true;
    // A generation rotated away and watched for late writes, not the one read.
    bool watched = false;
    // The generation read to its end before the one read now: it places that
    // one in the chain while nothing of it was read yet. Its printLength is 0
    // when nothing came before it.
    bool previous = false;
    // The generation's fingerprint (GenerationMark.h): a hash of the first
    // printLength bytes of its first line; printLength 0 until that line is
    // whole.
    std::uint64_t print = 0;
    std::uint32_t printLength = 0;
    // CRC-32 of the last `window` bytes before offset (the end of the line
    // there), checked before reading on; 0 bytes: not known.
    std::uint32_t windowCrc = 0;
    std::uint32_t window = 0;
};

// The time as a state keeps it (when a record went out, the output's
// retries, a save): microseconds since the epoch.
std::uint64_t stateTimeNow();

// What a status report shows of one followed log, saved with its positions.
struct LogStatus {
    std::uint64_t lastOut = 0; // when its last record was handed out (us since the epoch)
    std::uint64_t behind = 0;  // bytes written to it and not read yet
    std::uint32_t damage = 0;  // damage and gaps named since the follower started
    std::uint32_t gaps = 0;
};

// The output's condition, saved with the positions: taking records, or
// retrying since a time for a reason.
struct OutputStatus {
    bool taking = true;
    std::uint64_t since = 0; // us since the epoch
    std::string why;
};

// The state file of `zorvlog follow`: the positions in each followed log,
// rewritten in place as the follower moves, so that a follower stopped any
// way resumes where it stood. The room every save may need is taken when the
// file is opened, and each log (and the output's condition) has two copies
// that its saves alternate between, so that neither a full disk nor a failed
// write leaves a log without a whole position. Locked while
// a follower uses it: a second follower on the same state would hand out the
// same records.
class FollowState {
public:
    using Positions = std::vector<std::pair<std::string, std::vector<FollowPosition>>>;

    // Generations of one log watched for late writes that a save keeps (the
    // newest ones); the room of the state is sized for them and the one read.
    static constexpr std::size_t kMaxWatched = 8;

    FollowState() = default;
    ~FollowState();
    FollowState(const FollowState&) = delete;
    FollowState& operator=(const FollowState&) = delete;

    // The state file an earlier follow kept for this list of logs without
    // being asked (in $XDG_STATE_HOME/zorv/, else ~/.local/state/zorv/,
    // named for the list), when one lies there; empty otherwise.
    static std::string earlierDefault(const std::vector<std::string>& logs);

    // Opens (creates) and locks the state file, reads the positions in it and
    // takes the room that saves of these logs may need. Refuses, with error
    // set, a path that would destroy something (one of the logs or a file
    // named as one of their generations, however spelled; anything but a
    // regular file; a file of other content) and a file that cannot have its
    // room. A state that does not read back whole is set aside with a
    // warning: the logs are then read from their starts (records repeat; none
    // is lost).
    bool open(const std::string& path, const std::vector<std::string>& logs, std::string& error);

    // Reads the newest whole copy of a state without its lock, for a report
    // while a follower holds it; such a state is never saved. Refuses, with
    // error set, what is not a state and a state of another user unless the
    // reader is root. False with error set also when no copy reads back whole.
    bool read(const std::string& path, std::string& error);

    // Makes room for these logs where the state has too little, laying it
    // out anew with `positions` (as a save writes them) and putting it in
    // place of the old one, which stays whole until then; false, with
    // error set, when it cannot.
    bool grow(const std::vector<std::string>& logs, const Positions& positions,
              const std::vector<LogStatus>& statuses, std::string& error);

    // The positions kept for a log; null when none.
    const std::vector<FollowPosition>* find(const std::string& log) const;
    // Every log the state names, positions or status, in the order of their paths.
    std::vector<std::string> logs() const;
    // When the state read was saved (us since the epoch), and its format.
    std::uint64_t savedAt() const { return mSavedAt; }
    char format() const { return mFormat; }

    // What the state last saved of a log and of the output (empty when it
    // saved nothing of them).
    LogStatus status(const std::string& log) const;
    const OutputStatus& output() const { return mOutput; }

    // Writes the positions and status of the logs changed (all when
    // `changed` is empty; statuses in the order of the positions) and the
    // output's condition, each in its own area, without waiting for the
    // disk; false (warned once) when it cannot. What an area held before
    // stays whole either way.
    bool save(const Positions& positions, const std::vector<LogStatus>& statuses = {},
              const OutputStatus& output = OutputStatus(), const std::vector<bool>& changed = {});

private:
    // An area: the output's (the first) or one log's, of two copies; the
    // newest whole copy's sequence and the copy the next write overwrites.
    struct Area {
        std::uint64_t sequence = 0;
        int slot = 0;
    };

    bool refused(const std::string& path, const std::vector<std::string>& logs,
                 std::string& error) const;
    int readBody(const struct stat& st, std::string& why);
    bool readAreas(std::string& why);
    int readArea(std::size_t area, std::uint64_t copySize, char version, std::string& log);
    bool readOld(const std::string& text);
    bool placeLogs(const std::vector<std::string>& logs);
    bool lay(int fd, const std::vector<std::string>& logs, std::string& error);
    std::uint64_t areaAt(std::size_t area) const;
    std::uint64_t fileSize() const;
    bool writeArea(int fd, std::size_t area);
    bool writeOutput(int fd, const OutputStatus& output);
    bool writeLog(int fd, const std::string& log, const std::vector<FollowPosition>& positions,
                  const LogStatus& status);
    bool layAnew(const std::vector<std::string>& logs, const Positions& kept,
                 const std::vector<LogStatus>& statuses, std::string& error);

    int mFd = -1;
    std::string mPath;
    std::uint64_t mSlotSize = 0;                // one copy of a log's area
    std::vector<Area> mAreas;                   // the output's, then the logs'
    std::map<std::string, std::size_t> mAreaOf; // each log's area
    int mError = 0;                             // of the last failed write
    bool mWarned = false;
    std::string mText;
    std::map<std::string, std::vector<FollowPosition>> mLoaded;
    std::map<std::string, LogStatus> mStatus;
    OutputStatus mOutput;
    OutputStatus mWrittenOutput; // what the output's area holds, once written
    bool mOutputWritten = false;
    std::uint64_t mSavedAt = 0;
    char mFormat = 0;
};

} // namespace zorvlog

#endif
