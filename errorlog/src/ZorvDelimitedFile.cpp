#include "zorv/ZorvDelimitedFile.h"

#include "DelimitedFileState.h"
#include "DirectoryPolicy.h"
#include "Fnv1a.h"
#include "LineFormat.h"
#include "RecordLock.h"
#include "Utf8.h"

#include <zorv/ZorvUtil.h>

#include <cstring>
#include <string>

// The file itself: its name, the stream around each record, and the lines the
// writers build. The section that starts every line is in
// ZorvDelimitedFileSection.cpp; the way a record reaches the file, in one
// write, in AppendStream.

const char* ZorvDelimitedFile::kTab = "\t";

namespace {

void appendPairs(std::string& line, const std::list<std::pair<TStr, TStr>>& pairs) {
    bool first = true;
    for (const auto& pair : pairs) {
        zorv_detail::appendPair(line, pair.first.bytes(), pair.second.bytes(), first);
        first = false;
    }
}

// The path as the key the lock's holders compare; 0 stands for none.
std::uint64_t pathKey(const std::string& path) {
    const std::uint64_t key = zorv_detail::fnv1a64(path);
    return key != 0 ? key : 1;
}

const char* currentTab() {
    return ZorvDelimitedFile::kTab != nullptr ? ZorvDelimitedFile::kTab : "";
}

// What a file name is worth as a path for records; judged once per name while
// the answer is yes: only setFilename changes it.
zorv_detail::DelimitedFileState::Path judgePath(const TStr& filename,
                                                zorv_detail::AppendStream& stream) {
    using Path = zorv_detail::DelimitedFileState::Path;
    const char* path = filename.toUtf8();
    // A NUL inside the name would make open see a shorter, other path.
    if (path == nullptr || std::strlen(path) != filename.byteLength()) {
        return Path::Unusable;
    }
    stream.setPathKey(pathKey(filename.bytes()));
    switch (zorv_detail::logPlaceOf(filename.bytes(),
                                    ZorvUtil::getZorvLocalUserDataLocation().bytes())) {
    case zorv_detail::LogPlace::Usable:
        return Path::Usable;
    case zorv_detail::LogPlace::OwnFilesOnly:
        return Path::OwnFilesOnly;
    case zorv_detail::LogPlace::Refused:
        break;
    }
    return Path::Unjudged; // judged again at the next open
}

} // namespace

ZorvDelimitedFile::ZorvDelimitedFile(TStr filename)
    : mFilename(std::move(filename)), mFile(nullptr), mState(new zorv_detail::DelimitedFileState) {}

ZorvDelimitedFile::~ZorvDelimitedFile() {
    refresh();
    delete mState;
}

TStr ZorvDelimitedFile::getFilename() const {
    return mFilename;
}

void ZorvDelimitedFile::setFilename(const TStr& filename) {
    if (filename == mFilename) {
        return;
    }
    close();
    mFilename = filename;
    mState->path = zorv_detail::DelimitedFileState::Path::Unjudged;
}

bool ZorvDelimitedFile::open(bool truncate) {
    if (mFilename.isEmpty()) {
        return false;
    }
    if (!mState->stream.isOpen()) {
        using Path = zorv_detail::DelimitedFileState::Path;
        Path& judged = mState->path;
        if (judged == Path::Unjudged) {
            judged = judgePath(mFilename, mState->stream);
        }
        if (judged == Path::Unusable || judged == Path::Unjudged) {
            return false;
        }
        if (!mState->stream.open(mFilename.bytes().c_str(), truncate,
                                 judged == Path::OwnFilesOnly)) {
            return false;
        }
        mFile = mState->stream.face();
    }
    return true;
}

void ZorvDelimitedFile::close() {
    if (mState->stream.isOpen()) {
        mState->stream.close(zorv_detail::RecordLock::heldFor(this));
        mFile = nullptr;
    }
}

void ZorvDelimitedFile::refresh() {
    close();
}

void ZorvDelimitedFile::clearContents() {
    if (mFilename.isEmpty()) {
        return;
    }
    close();
    // Truncating through a fresh "w" open rather than ftruncate on a kept
    // stream: nothing collected for the old contents can land after the cut.
    if (open(true)) {
        close();
    }
}

bool ZorvDelimitedFile::write(const TStr& key, const TStr& value) {
    return append(key, value, false);
}

bool ZorvDelimitedFile::write(const TStr& key, int value) {
    return append(key, TStr(std::to_string(value)), false);
}

bool ZorvDelimitedFile::write(std::list<std::pair<TStr, TStr>>& pairs) {
    return append(pairs, false);
}

bool ZorvDelimitedFile::append(const TStr& key, const TStr& value, bool closeAfterwards) {
    if (!open(false)) {
        return false;
    }
    bool written = false;
    if (isCurrentSectionSet()) {
        std::string& line = mState->line;
        line.clear();
        zorv_detail::beginPairsLine(line, sectionText(currentTab()));
        zorv_detail::appendPair(line, key.bytes(), value.bytes(), true);
        zorv_detail::endLine(line);
        written = putLine(line);
    }
    if (closeAfterwards) {
        close();
    }
    return written;
}

bool ZorvDelimitedFile::append(std::list<std::pair<TStr, TStr>>& pairs, bool closeAfterwards) {
    if (!open(false)) {
        return false;
    }
    bool written = false;
    if (isCurrentSectionSet() && !pairs.empty()) {
        std::string& line = mState->line;
        line.clear();
        zorv_detail::beginPairsLine(line, sectionText(currentTab()));
        appendPairs(line, pairs);
        zorv_detail::endLine(line);
        written = putLine(line);
    }
    if (closeAfterwards) {
        close();
    }
    return written;
}

bool ZorvDelimitedFile::append(const TStr& section, std::list<std::pair<TStr, TStr>>& pairs) {
    if (!mState->stream.isOpen() || section.isEmpty() || pairs.empty()) {
        return false;
    }
    std::string& line = mState->line;
    line.clear();
    zorv_detail::beginPairsLine(line, section.bytes());
    appendPairs(line, pairs);
    zorv_detail::endLine(line);
    return putLine(line);
}

bool ZorvDelimitedFile::append(const TStr& section, const TStr& key, const TStr& value) {
    if (!mState->stream.isOpen() || section.isEmpty()) {
        return false;
    }
    std::string& line = mState->line;
    line.clear();
    zorv_detail::beginPairsLine(line, section.bytes());
    zorv_detail::appendPair(line, key.bytes(), value.bytes(), true);
    zorv_detail::endLine(line);
    return putLine(line);
}

bool ZorvDelimitedFile::writeDebugLog(std::list<TStr>& items, const TStr& separator) {
    if (!open(false)) {
        return false;
    }
    if (!isCurrentSectionSet() || items.empty()) {
        return false;
    }
    const std::string& sep = separator.bytes();
    std::string& line = mState->line;
    line.clear();
    zorv_detail::beginItemsLine(line, sectionText(sep), sep);
    for (const TStr& item : items) {
        zorv_detail::appendItem(line, item.bytes(), sep);
    }
    zorv_detail::endLine(line);
    return putLine(line);
}

// Every line passes here: mended into UTF-8 and added to the record, which
// leaves for the file when the stream is closed.
bool ZorvDelimitedFile::putLine(std::string& line) {
    zorv_detail::repairLineText(line);
    return mState->stream.addLine(line, zorv_detail::RecordLock::heldFor(this));
}
