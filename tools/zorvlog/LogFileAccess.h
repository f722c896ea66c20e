#ifndef ZORVLOG_LOGFILEACCESS_H
#define ZORVLOG_LOGFILEACCESS_H

#include <string>

namespace zorvlog {

// Whether the library could append to the log file at path, asked without
// making or changing anything: the open that fopen(path, "a+") makes for an
// existing file, write and search permission on the directory for a missing
// one. Empty when nothing stands in the way, else why, in words for a person.
// The directory policy is not part of it: see openForRecord.
std::string appendProblem(const std::string& path);

// Opens the file through the library's own file object, which makes it as a
// record would, and closes it again. False, with *problem for a person and
// *refused set when it was the directory policy, when the library will not
// write there: the library judges the directory it keeps its own logs in,
// whoever names a file in it, so only its verdict tells which directories
// count.
bool openForRecord(const std::string& path, std::string* problem, bool* refused);

// The directory of a file path as the library cuts it: up to the last "/".
std::string directoryOf(const std::string& path);

} // namespace zorvlog

#endif
