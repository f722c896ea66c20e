#ifndef ZORVLOG_GENERATIONCHAIN_H
#define ZORVLOG_GENERATIONCHAIN_H

#include "follow/FollowState.h"
#include "follow/Generation.h"

#include <deque>
#include <memory>
#include <vector>

namespace zorvlog {

// The generations of one followed log that the follower holds: the one read
// now; the one read to its end before it, kept as a position only (it places
// the one read now in the rotation's order while nothing of that was read);
// and those rotated away and watched for late writes, oldest first.
//
// A generation left for the next one is watched for late writes for a
// minute, while the next one is read; a compressed or broken one only until
// what it holds whole is handed out. At most FollowState::kMaxWatched are
// watched at once: beyond, the oldest watch ends early. A watch whose time is
// up ends once everything the generation holds was handed out.
class GenerationChain {
public:
    using Clock = Generation::Clock;
    using GenerationPtr = std::unique_ptr<Generation>;

    explicit GenerationChain(Generation::Note note) : mNote(std::move(note)) {}

    // The generation read now; null before one is found.
    Generation* current() const { return mCurrent.get(); }
    // Rotated away and watched for late writes, oldest first.
    const std::deque<GenerationPtr>& watched() const { return mWatched; }
    // The generation read before the one read now, when known.
    bool hasPrevious() const { return mPrevious.previous; }
    const FollowPosition& previous() const { return mPrevious; }
    // Takes `at` (a position marked `previous`) for the generation read
    // before; or, unmarked, says that nothing came before the next one.
    void setPrevious(const FollowPosition& at) { mPrevious = at; }

    // `next` is read from here on; the generation read until now becomes the
    // previous one and is watched for late writes.
    void takeOver(GenerationPtr next, Clock::time_point now);
    // The generation read is read on in `same` (a file found to hold it: the
    // one its position is in on a restart, or a copy of it), without a watch
    // on the file it was read in.
    void readIn(GenerationPtr same) { mCurrent = std::move(same); }
    // The generation read holds other content now: what it holds whole is
    // handed out, and nothing more is read from it.
    void abandonCurrent(Clock::time_point now);
    // A generation that was watched when the follower stopped, found again.
    void watchAgain(GenerationPtr generation, Clock::time_point now);

    // Settles the generations held (`atPath`: the one read is still the file
    // at the path, where its last line may yet be completed) and ends the
    // watches whose time is up; true when one ended.
    bool settle(Clock::time_point now, bool atPath);
    // When settle() has something to do; max() when nothing.
    Clock::time_point wakeAt() const;

    // Whether `generation` is the file of the one read or of one watched.
    bool holds(const Generation& generation) const;
    // The generation read, the one before it and those watched, for the state.
    std::vector<FollowPosition> positions() const;
    std::size_t held() const;
    void letGo();

private:
    void retire(GenerationPtr generation, Clock::time_point now);

    Generation::Note mNote;
    GenerationPtr mCurrent;
    FollowPosition mPrevious;
    std::deque<GenerationPtr> mWatched;
};

} // namespace zorvlog

#endif
