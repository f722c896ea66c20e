#include <zorv/TPath.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>

TPath::TPath(const TStr& path) : TStr(path) {}

TPath::~TPath() = default;

TPath& TPath::operator+=(const char* text) {
    TStr::operator+=(text);
    return *this;
}

bool TPath::exists() const {
    const char* path = toUtf8();
    struct stat st;
    return path != nullptr && *path != '\0' && ::stat(path, &st) == 0;
}

bool TPath::mkpath(int mode) const {
    const char* utf8 = toUtf8();
    if (utf8 == nullptr || *utf8 == '\0') {
        return false;
    }
    const std::string path(utf8);
    // Create each missing component from the top down; a component that
    // another process creates meanwhile (EEXIST) is fine.
    std::string::size_type pos = 0;
    for (;;) {
        pos = path.find('/', pos + 1);
        const std::string prefix = path.substr(0, pos);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0 &&
            errno != EEXIST) {
            return false;
        }
        if (pos == std::string::npos) {
            break;
        }
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
