#include "follow/GenerationChain.h"

namespace zorvlog {

namespace {

// How long a generation rotated away is watched for late writes, from the
// moment its successor was taken up: a writer opens the file per record, and
// one that opened it just before the rename writes a moment later; another
// program may keep it open for longer.
const std::chrono::seconds kLateWrites(60);

} // namespace

void GenerationChain::takeOver(GenerationPtr next, Clock::time_point now) {
    if (mCurrent != nullptr && mCurrent->identified()) {
        mPrevious = mCurrent->readSoFar();
        mPrevious.watched = false;
        mPrevious.previous = true;
    }
    retire(std::move(mCurrent), now);
    mCurrent = std::move(next);
}

// What the generation left holds whole is made ready at once, so that a
// pending record never waits in more than one generation.
void GenerationChain::retire(GenerationPtr generation, Clock::time_point now) {
    if (generation == nullptr) {
        return;
    }
    if (generation->input().compressed() || generation->broken()) {
        if (!generation->input().complete() && !generation->broken()) {
            mNote(generation->path(),
                  "the compressed data ends early: what followed in it is lost");
        }
        generation->finish();
        generation->watchFor(now, Clock::duration::zero());
    } else {
        generation->leave();
        generation->watchFor(now, kLateWrites);
    }
    mWatched.push_back(std::move(generation));
    if (mWatched.size() > FollowState::kMaxWatched) {
        mWatched.front()->watchFor(now, Clock::duration::zero());
    }
}

void GenerationChain::abandonCurrent(Clock::time_point now) {
    mCurrent->abandon();
    mCurrent->watchFor(now, Clock::duration::zero());
    mWatched.push_back(std::move(mCurrent));
}

void GenerationChain::watchAgain(GenerationPtr generation, Clock::time_point now) {
    generation->watchFor(now, kLateWrites);
    mWatched.push_back(std::move(generation));
}

bool GenerationChain::settle(Clock::time_point now, bool atPath) {
    if (mCurrent != nullptr) {
        mCurrent->settle(now, !atPath);
    }
    bool ended = false;
    for (auto it = mWatched.begin(); it != mWatched.end();) {
        Generation& generation = **it;
        generation.settle(now, true);
        if (generation.watchOver(now)) {
            generation.finish();
            if (generation.next(now) == nullptr && !generation.more()) {
                it = mWatched.erase(it);
                ended = true;
                continue;
            }
        }
        ++it;
    }
    return ended;
}

GenerationChain::Clock::time_point GenerationChain::wakeAt() const {
    Clock::time_point at = Clock::time_point::max();
    if (mCurrent != nullptr) {
        at = std::min(at, mCurrent->quietAt());
    }
    for (const GenerationPtr& watched : mWatched) {
        at = std::min({at, watched->quietAt(), watched->watchedUntil()});
    }
    return at;
}

bool GenerationChain::holds(const Generation& generation) const {
    struct stat st;
    st.st_dev = generation.position().dev;
    st.st_ino = generation.position().ino;
    if (mCurrent != nullptr && mCurrent->is(st)) {
        return true;
    }
    for (const GenerationPtr& watched : mWatched) {
        if (watched->is(st)) {
            return true;
        }
    }
    return false;
}

std::vector<FollowPosition> GenerationChain::positions() const {
    std::vector<FollowPosition> all;
    if (mCurrent != nullptr) {
        all.push_back(mCurrent->position());
    }
    if (mPrevious.previous) {
        all.push_back(mPrevious);
    }
    for (const GenerationPtr& watched : mWatched) {
        all.push_back(watched->position());
        all.back().watched = true;
    }
    return all;
}

std::size_t GenerationChain::held() const {
    std::size_t bytes = mCurrent != nullptr ? mCurrent->input().held() : 0;
    for (const GenerationPtr& watched : mWatched) {
        bytes += watched->input().held();
    }
    return bytes;
}

void GenerationChain::letGo() {
    if (mCurrent != nullptr) {
        mCurrent->input().letGo();
    }
    for (const GenerationPtr& watched : mWatched) {
        watched->input().letGo();
    }
}

} // namespace zorvlog
