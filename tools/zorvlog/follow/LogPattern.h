#ifndef ZORVLOG_LOGPATTERN_H
#define ZORVLOG_LOGPATTERN_H

#include <string>
#include <vector>

namespace zorvlog {

// A LOGFILE operand that finds its logs rather than naming one: a directory
// (every regular file in it) or a path whose last component holds a shell
// wildcard (`*`, `?`, `[`), given quoted so that follow expands it, and again
// whenever the directory changes. A name that exists as given is a file or a
// directory, never a pattern. A file named as a rotated generation of a name
// the pattern takes (app.log.1, app.log.2.gz, app-20261209.log beside
// app.log) is that log's generation, never a log of its own, whether or not
// the log itself is there.
class LogPattern {
public:
    // Whether the absolute operand is a pattern; then *pattern describes it.
    static bool parse(const std::string& operand, LogPattern* pattern);

    const std::string& directory() const { return mDir; }
    // The paths of the logs it takes now, sorted; a directory that cannot be
    // read takes none.
    std::vector<std::string> logs() const;

private:
    bool takes(const std::string& name) const;
    bool generation(const std::string& name) const;

    std::string mDir, mGlob;
};

} // namespace zorvlog

#endif
