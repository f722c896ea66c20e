#ifndef ZORVLOG_LOGFILEACCESS_H
#define ZORVLOG_LOGFILEACCESS_H

#include <string>

namespace zorvlog {

// Whether the library could append to the log file at path, asked without
// making or changing anything: the open that fopen(path, "a+") makes for an
// existing file, write and search permission on the directory for a missing
// one. Empty when nothing stands in the way, else why, in words for a person.
// The directory policy and the link rules are not part of it: see
// openForRecord.
std::string appendProblem(const std::string& path);

// Whether the library will write a record to the file at path, asked without
// making anything: the open the library makes (zorvshared/OpenTrustedPath.h: the
// links on the way, a shared directory's file), with the directory policy it
// applies to its own data directory, however it is named; for a missing file,
// whether the directory takes a new one. False, with *problem for a person
// and *refused set when it was the rules, not the system, that said no; a
// refusal is counted as the library counts its own (RefusalCount.h). (Making the
// file here, outside the lock the library takes, would let a follower of the
// log move on to it while another writer's record still lands in the old
// one.)
bool openForRecord(const std::string& path, std::string* problem, bool* refused);

} // namespace zorvlog

#endif
