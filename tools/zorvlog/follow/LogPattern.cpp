#include "follow/LogPattern.h"

#include "read/RotationNames.h"

#include <algorithm>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace zorvlog {

bool LogPattern::parse(const std::string& operand, LogPattern* pattern) {
    struct stat st;
    if (::stat(operand.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            return false;
        }
        pattern->mDir = operand;
        pattern->mGlob = "*";
        return true;
    }
    const std::string::size_type slash = operand.rfind('/');
    const std::string name = operand.substr(slash + 1);
    if (name.find_first_of("*?[") == std::string::npos) {
        return false;
    }
    pattern->mDir = slash == 0 ? "/" : operand.substr(0, slash);
    pattern->mGlob = name;
    return true;
}

bool LogPattern::takes(const std::string& name) const {
    // Hidden files only where the pattern names them, as a shell does.
    return ::fnmatch(mGlob.c_str(), name.c_str(), FNM_PERIOD) == 0;
}

// Whether some name the pattern takes has this one for a generation, in
// either layout logrotate gives: the suffix after the log's name, or (its
// "extension" option) before the log's last extension.
bool LogPattern::generation(const std::string& name) const {
    RotatedName rotated;
    for (std::size_t length = 1; length < name.size(); ++length) {
        const std::string base = name.substr(0, length);
        if (takes(base) &&
            (parseRotatedName(base, name, &rotated) || !unreadableLayout(base, name).empty())) {
            return true;
        }
    }
    std::string plain = name;
    if (plain.size() > 3 && plain.compare(plain.size() - 3, 3, ".gz") == 0) {
        plain.erase(plain.size() - 3);
    }
    for (std::string::size_type dot = plain.find('.', 1); dot != std::string::npos;
         dot = plain.find('.', dot + 1)) {
        const std::string rest = plain.substr(0, dot), extension = plain.substr(dot);
        for (std::size_t length = 1; length < rest.size(); ++length) {
            const std::string stem = rest.substr(0, length);
            if (takes(stem + extension) && !unreadableLayout(stem + extension, name).empty()) {
                return true;
            }
        }
    }
    return false;
}

std::vector<std::string> LogPattern::logs() const {
    std::vector<std::string> found;
    DIR* dir = ::opendir(mDir.c_str());
    if (dir == nullptr) {
        return found;
    }
    const std::string prefix = mDir == "/" ? "/" : mDir + "/";
    while (const struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        struct stat st;
        if (name == "." || name == ".." || !takes(name) || generation(name) ||
            ::stat((prefix + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        found.push_back(prefix + name);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace zorvlog
