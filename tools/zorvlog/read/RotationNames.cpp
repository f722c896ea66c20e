#include "read/RotationNames.h"

#include "read/PathName.h"

#include <algorithm>
#include <dirent.h>

namespace zorvlog {

namespace {

// What the compressors read here (read/Decompressor.h) name their files.
const char* const kReadCompressions[] = {".gz", ".xz", ".zst", ".bz2"};
const char* const kOtherCompressions[] = {".lz4", ".lzma", ".lz", ".Z", ".br", ".zip", ".7z"};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The suffix after the log's name, without ".gz": ".N" or a date.
bool parseSuffix(const std::string& suffix, RotatedName* rotated) {
    if (suffix.size() < 2 || (suffix[0] != '.' && suffix[0] != '-' && suffix[0] != '_')) {
        return false;
    }
    std::size_t digits = 0;
    for (std::size_t i = 1; i < suffix.size(); ++i) {
        const char c = suffix[i];
        if (isDigit(c)) {
            ++digits;
        } else if (c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    if (suffix[0] == '.' && digits == suffix.size() - 1 && digits <= 7) {
        rotated->dated = false;
        rotated->number = static_cast<std::uint32_t>(std::stoul(suffix.substr(1)));
        return true;
    }
    if (digits < 6) {
        return false;
    }
    rotated->dated = true;
    rotated->date = suffix;
    return true;
}

} // namespace

bool RotatedName::olderThan(const RotatedName& other) const {
    if (dated != other.dated) {
        return dated;
    }
    return dated ? date < other.date : number > other.number;
}

bool RotatedName::sameRotation(const RotatedName& other) const {
    return dated == other.dated && number == other.number && date == other.date;
}

bool RotatedName::before(const RotatedName& other) const {
    return sameRotation(other) ? !compressed && other.compressed : olderThan(other);
}

bool parseRotatedName(const std::string& base, const std::string& name, RotatedName* rotated) {
    if (name.size() <= base.size() || name.compare(0, base.size(), base) != 0) {
        return false;
    }
    std::string suffix = name.substr(base.size());
    rotated->compressed = false;
    for (const char* extension : kReadCompressions) {
        if (endsWith(suffix, extension)) {
            rotated->compressed = true;
            suffix.erase(suffix.size() - std::string(extension).size());
            break;
        }
    }
    return parseSuffix(suffix, rotated);
}

std::string unreadableLayout(const std::string& base, const std::string& name) {
    RotatedName rotated;
    for (const char* extension : kOtherCompressions) {
        if (endsWith(name, extension) &&
            parseRotatedName(base, name.substr(0, name.size() - std::string(extension).size()),
                             &rotated) &&
            !rotated.compressed) {
            return std::string("compressed with a program whose data follow does not read (") +
                   extension + ")";
        }
    }
    // logrotate's "extension .log" renames "app.log" to "app.1.log" or
    // "app-20261206.log".
    const std::string::size_type dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return std::string();
    }
    const std::string stem = base.substr(0, dot), extension = base.substr(dot);
    std::string rest = name;
    for (const char* compression : kReadCompressions) {
        if (endsWith(rest, compression)) {
            rest.erase(rest.size() - std::string(compression).size());
            break;
        }
    }
    if (endsWith(rest, extension) && rest.size() > base.size() &&
        parseRotatedName(stem, rest.substr(0, rest.size() - extension.size()), &rotated) &&
        !rotated.compressed) {
        return "named as logrotate's \"extension\" option names rotated files, which follow does "
               "not read";
    }
    return std::string();
}

namespace {

// The generations of the log named `base` in one directory.
void listGenerations(const std::string& dir, const std::string& base,
                     std::vector<RotatedFile>* found,
                     std::vector<std::pair<std::string, std::string>>* unreadable) {
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const struct dirent* item = ::readdir(listing)) {
        RotatedFile file;
        file.path = (dir == "/" ? "" : dir) + "/" + item->d_name;
        if (parseRotatedName(base, item->d_name, &file.name)) {
            found->push_back(file);
        } else if (unreadable != nullptr) {
            const std::string why = unreadableLayout(base, item->d_name);
            if (!why.empty()) {
                unreadable->emplace_back(file.path, why);
            }
        }
    }
    ::closedir(listing);
}

} // namespace

std::string olddirOf(const std::string& logPath, const std::string& olddir) {
    const std::string dir = directoryOf(logPath);
    return olddir[0] == '/' ? olddir : (dir == "/" ? "" : dir) + "/" + olddir;
}

std::vector<RotatedFile> rotatedFiles(const std::string& logPath,
                                      std::vector<std::pair<std::string, std::string>>* unreadable,
                                      const Refusal& refuse, const std::string& olddir) {
    const std::string dir = directoryOf(logPath);
    const std::string base = baseNameOf(logPath);
    std::vector<RotatedFile> found;
    listGenerations(dir, base, &found, unreadable);
    if (!olddir.empty()) {
        // Generations rotated before the configuration moved them stay
        // beside the log: both places make one chain.
        listGenerations(olddirOf(logPath, olddir), base, &found, unreadable);
    }
    // Oldest first; of one rotation's plain and compressed file, the plain
    // one first.
    std::sort(found.begin(), found.end(),
              [](const RotatedFile& a, const RotatedFile& b) { return a.name.before(b.name); });
    // Trust decides before the plain file wins over its compressed one.
    for (std::size_t i = 0; refuse && i + 1 < found.size(); ++i) {
        if (!found[i].name.compressed && found[i].name.sameRotation(found[i + 1].name)) {
            const std::string why = refuse(found[i].path);
            if (!why.empty()) {
                if (unreadable != nullptr) {
                    unreadable->emplace_back(found[i].path, why + ": not read");
                }
                found.erase(found.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    // The compressed file is being made from the plain one beside it.
    found.erase(std::unique(found.begin(), found.end(),
                            [](const RotatedFile& a, const RotatedFile& b) {
                                return a.name.sameRotation(b.name);
                            }),
                found.end());
    return found;
}

std::vector<std::string> historyOrder(const std::vector<std::string>& files) {
    struct Member {
        std::size_t log; // the order its log was first named in
        bool current;    // the log's own file, not a generation
        RotatedName name;
        std::string path;
    };
    std::vector<std::string> logs;
    std::vector<Member> members;
    for (const std::string& path : files) {
        const std::string::size_type slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        Member member{0, true, RotatedName(), path};
        std::string log = path == "-" ? path : dir + "/" + base;
        for (std::size_t length = 1; path != "-" && length < base.size(); ++length) {
            if (parseRotatedName(base.substr(0, length), base, &member.name)) {
                member.current = false;
                log = dir + "/" + base.substr(0, length);
                break;
            }
        }
        member.log =
            static_cast<std::size_t>(std::find(logs.begin(), logs.end(), log) - logs.begin());
        if (member.log == logs.size()) {
            logs.push_back(log);
        }
        members.push_back(member);
    }
    // A generation in another directory than its log (logrotate's olddir)
    // belongs to the named log of the same file name, when its own directory
    // holds no log named.
    auto nameOf = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
    for (Member& member : members) {
        auto named = [&](const Member& other) { return other.current && other.log == member.log; };
        if (member.current || std::any_of(members.begin(), members.end(), named)) {
            continue;
        }
        for (const Member& other : members) {
            if (other.current && nameOf(logs[other.log]) == nameOf(logs[member.log])) {
                member.log = other.log;
                break;
            }
        }
    }
    std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
        if (a.log != b.log) {
            return a.log < b.log;
        }
        if (a.current != b.current) {
            return b.current;
        }
        return !a.current && a.name.before(b.name);
    });
    std::vector<std::string> ordered;
    for (const Member& member : members) {
        ordered.push_back(member.path);
    }
    return ordered;
}

} // namespace zorvlog
