#ifndef ZORVLOG_RECORDWRITER_H
#define ZORVLOG_RECORDWRITER_H

#include <string>
#include <vector>

namespace zorvlog {

// The three writing commands: "error", "debug" and "perf". Each builds the
// record and the logger a C++ client would, starts a section and logs once;
// then it checks that the record reached the file, because the library itself
// reports nothing. Returns the exit status: 0 written, 1 not written (the file
// cannot be opened for appending, or the logger is switched off), 2 bad
// arguments (thrown as UsageError before anything is touched).
class RecordWriter {
public:
    static int error(const std::vector<std::string>& args);
    static int debug(const std::vector<std::string>& args);
    static int perf(const std::vector<std::string>& args);

    static const char* errorHelp();
    static const char* debugHelp();
    static const char* perfHelp();
};

} // namespace zorvlog

#endif
