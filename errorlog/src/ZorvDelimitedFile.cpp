#include "zorv/ZorvDelimitedFile.h"

#include "DelimitedFileState.h"
#include "DirectoryPolicy.h"
#include "Fnv1a.h"
#include "LineFormat.h"
#include "SystemCalls.h"

#include <zorv/ZorvUtil.h>

#include <cstring>
#include <string>
#include <sys/stat.h>

// The file itself: its name, its opening and closing around each record, and
// the lines the writers build (zorvshared/LineFormat.h). The section that starts
// every line is in ZorvDelimitedFileSection.cpp; the way a record reaches the
// file, in one write, in FileRecord.

const char* ZorvDelimitedFile::kTab = "\t";

namespace {

void appendPairs(zorv_detail::RecordBytes& line, const std::list<std::pair<TStr, TStr>>& pairs) {
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

const char kMutexSuffix[] = ".Mutex";
constexpr std::size_t kMutexSuffixLength = sizeof kMutexSuffix - 1;

const char* currentTab() {
    return ZorvDelimitedFile::kTab != nullptr ? ZorvDelimitedFile::kTab : "";
}

// What a file name is worth as a path for records; judged once per name:
// only setFilename changes it.
zorv_detail::DelimitedFileState::Path judgePath(const TStr& filename,
                                                zorv_detail::FileRecord& record) {
    using Path = zorv_detail::DelimitedFileState::Path;
    const char* path = filename.toUtf8();
    // A NUL inside the name would make open see a shorter, other path.
    if (path == nullptr || std::strlen(path) != filename.byteLength()) {
        return Path::Unusable;
    }
    record.setPathKey(pathKey(filename.bytes()));
    return Path::Usable;
}

// The product's own directory, where the default logs and QET's log live, is
// written into only while it passes as a log directory, whoever names a file
// in it and however: it is recognised by the directory the path reached, not
// by its spelling ("zorv/./x.log", a link's name).
bool judgeLogDirectory(int, const struct stat& dir, zorv_detail::PathMemo& memo, std::string*,
                       void*) {
    return zorv_detail::dataDirectoryAllows(ZorvUtil::getZorvLocalUserDataLocation().bytes(), dir,
                                            memo);
}

// A writer's lines go to the file the record already opened (the logger opens
// it once per record); a writer called outside a record opens it itself.
bool openForLines(ZorvDelimitedFile& file) {
    return file.state().record.isOpen() || file.open(false);
}

} // namespace

// The library's binary interface (abi/) lists this member of the list the
// pair-writing calls take; made here, so that it stays exported.
template void
std::__cxx11::_List_base<std::pair<TStr, TStr>, std::allocator<std::pair<TStr, TStr>>>::_M_clear();

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
    mState->memo = zorv_detail::PathMemo();
}

bool ZorvDelimitedFile::open(bool truncate) {
    if (mFilename.isEmpty()) {
        return false;
    }
    zorv_detail::FileRecord& record = mState->record;
    if (record.isOpen()) {
        return true;
    }
    using Path = zorv_detail::DelimitedFileState::Path;
    Path& judged = mState->path;
    if (judged == Path::Unjudged) {
        judged = judgePath(mFilename, record);
    }
    zorv_detail::DirectoryJudge judge;
    judge.judge = judgeLogDirectory;
    return judged == Path::Usable &&
           record.open(mFilename.bytes().c_str(), truncate, mState->memo, judge);
}

const TStr* ZorvDelimitedFile::mutexName() {
    // Named after the file's last component only, so that every logger
    // writing to a file of that name, in any process, shares the mutex.
    const std::string& path = mFilename.bytes();
    TStr& name = mState->mutexName;
    const std::string& made = name.bytes();
    // The kept name still fits when the path ends in the component it was
    // made of, right after a '/' or as the whole path: that component holds
    // no '/', so it is the path's last one. No search of the path per record.
    if (made.size() > kMutexSuffixLength) {
        const std::size_t length = made.size() - kMutexSuffixLength;
        if (path.size() >= length) {
            const std::size_t start = path.size() - length;
            if ((start == 0 || path[start - 1] == '/') &&
                std::memcmp(path.data() + start, made.data(), length) == 0) {
                return &name;
            }
        }
    }
    const std::string_view component = zorv_detail::lastComponentOf(path);
    if (component.empty()) {
        return nullptr;
    }
    // Made in the room the state keeps for it, only when the component
    // changed: no allocation per record.
    name.clear();
    name += component.data(); // the component runs to the path's end
    name += kMutexSuffix;
    return &name;
}

// The record's lines reach the file here, in one write.
void ZorvDelimitedFile::close() {
    mState->record.writeAndClose();
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
    if (!openForLines(*this)) {
        return false;
    }
    bool written = false;
    if (isCurrentSectionSet()) {
        zorv_detail::RecordBytes& lines = mState->record.lines();
        const std::size_t start = lines.size();
        zorv_detail::beginPairsLine(lines, sectionText(currentTab()));
        zorv_detail::appendPair(lines, key.bytes(), value.bytes(), true);
        zorv_detail::endLine(lines);
        written = mState->record.addLine(start);
    }
    if (closeAfterwards) {
        close();
    }
    return written;
}

bool ZorvDelimitedFile::append(std::list<std::pair<TStr, TStr>>& pairs, bool closeAfterwards) {
    if (!openForLines(*this)) {
        return false;
    }
    bool written = false;
    if (isCurrentSectionSet() && !pairs.empty()) {
        zorv_detail::RecordBytes& lines = mState->record.lines();
        const std::size_t start = lines.size();
        zorv_detail::beginPairsLine(lines, sectionText(currentTab()));
        appendPairs(lines, pairs);
        zorv_detail::endLine(lines);
        written = mState->record.addLine(start);
    }
    if (closeAfterwards) {
        close();
    }
    return written;
}

bool ZorvDelimitedFile::append(const TStr& section, std::list<std::pair<TStr, TStr>>& pairs) {
    if (!mState->record.isOpen() || section.isEmpty() || pairs.empty()) {
        return false;
    }
    zorv_detail::RecordBytes& lines = mState->record.lines();
    const std::size_t start = lines.size();
    zorv_detail::beginPairsLine(lines, section.bytes());
    appendPairs(lines, pairs);
    zorv_detail::endLine(lines);
    return mState->record.addLine(start);
}

bool ZorvDelimitedFile::append(const TStr& section, const TStr& key, const TStr& value) {
    if (!mState->record.isOpen() || section.isEmpty()) {
        return false;
    }
    zorv_detail::RecordBytes& lines = mState->record.lines();
    const std::size_t start = lines.size();
    zorv_detail::beginPairsLine(lines, section.bytes());
    zorv_detail::appendPair(lines, key.bytes(), value.bytes(), true);
    zorv_detail::endLine(lines);
    return mState->record.addLine(start);
}

bool ZorvDelimitedFile::writeDebugLog(std::list<TStr>& items, const TStr& separator) {
    if (!openForLines(*this)) {
        return false;
    }
    if (!isCurrentSectionSet() || items.empty()) {
        return false;
    }
    const std::string& sep = separator.bytes();
    zorv_detail::RecordBytes& lines = mState->record.lines();
    const std::size_t start = lines.size();
    zorv_detail::beginItemsLine(lines, sectionText(sep), sep);
    for (const TStr& item : items) {
        zorv_detail::appendItem(lines, item.bytes(), sep);
    }
    zorv_detail::endLine(lines);
    return mState->record.addLine(start);
}

bool ZorvDelimitedFile::writePairs(const zorv_detail::DescribedPair* pairs, std::size_t count) {
    if (!openForLines(*this) || !isCurrentSectionSet() || count == 0) {
        return false;
    }
    zorv_detail::RecordBytes& lines = mState->record.lines();
    const std::size_t start = lines.size();
    zorv_detail::beginPairsLine(lines, sectionText(currentTab()));
    for (std::size_t i = 0; i < count; ++i) {
        zorv_detail::appendPair(lines, pairs[i], i == 0);
    }
    zorv_detail::endLine(lines);
    return mState->record.addLine(start);
}

bool ZorvDelimitedFile::writeItems(const TStr* const* items, std::size_t count,
                                   std::string_view sep) {
    if (!openForLines(*this) || !isCurrentSectionSet() || count == 0) {
        return false;
    }
    zorv_detail::RecordBytes& lines = mState->record.lines();
    const std::size_t start = lines.size();
    zorv_detail::beginItemsLine(lines, sectionText(sep), sep);
    for (std::size_t i = 0; i < count; ++i) {
        zorv_detail::appendItem(lines, items[i]->bytes(), sep);
    }
    zorv_detail::endLine(lines);
    return mState->record.addLine(start);
}
