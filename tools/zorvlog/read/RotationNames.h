#ifndef ZORVLOG_ROTATIONNAMES_H
#define ZORVLOG_ROTATIONNAMES_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zorvlog {

// The names logrotate gives the generations of a log NAME beside it, and
// their order. A generation is NAME.N (N of one to seven digits; a higher N
// is older) or NAME with a date suffix (dateext: a separator "-", "_" or "."
// then digits and separators, at least six digits; ascending is older), each
// optionally followed by the extension of a compressor read here (".gz",
// ".xz", ".zst", ".bz2"). Nothing else beside the log is taken for one of its
// generations: not a copy ("NAME.bak"), not another tool's name.
struct RotatedName {
    bool dated = false;
    std::uint32_t number = 0; // NAME.N
    std::string date;         // the suffix of a dated one
    bool compressed = false;

    // Oldest first. Dated names count as older than numbered ones (one log
    // is rotated one way; either order would do for a switch between them).
    bool olderThan(const RotatedName& other) const;
    // The same generation, plain or compressed.
    bool sameRotation(const RotatedName& other) const;
    // The chain's order: older first, and of one rotation's plain and
    // compressed file the plain one first.
    bool before(const RotatedName& other) const;
};

// Whether `name`, a file name in the log's directory, names a generation of
// the log whose file name is `base`.
bool parseRotatedName(const std::string& base, const std::string& name, RotatedName* rotated);

// A file name beside the log that looks like one of its generations in a
// layout that follow does not read: compressed with a program whose data is
// not read here, or renamed with logrotate's "extension" option. Why, in words; empty when it
// does not look like one.
std::string unreadableLayout(const std::string& base, const std::string& name);

// The directory logrotate's "olddir" names for the log at logPath: `olddir`
// itself when absolute, else relative to the log's directory.
std::string olddirOf(const std::string& logPath, const std::string& olddir);

// A rotated file of a log: its path and what its name says.
struct RotatedFile {
    std::string path;
    RotatedName name;
};

// Why a file beside the log is not the log's own (empty: it is).
using Refusal = std::function<std::string(const std::string& path)>;

// The rotated files of the log at logPath, oldest first: those beside it
// and, when `olddir` names one, those in the directory logrotate's "olddir"
// moves them to (relative to the log's directory unless absolute). Of a
// plain file and the compressed one being made from it only the plain one,
// unless `refuse` says the plain one is not the log's own: then the
// compressed one, and the plain one goes to *unreadable. The files that look
// like generations in a layout follow cannot read go to *unreadable, with
// why.
std::vector<RotatedFile> rotatedFiles(const std::string& logPath,
                                      std::vector<std::pair<std::string, std::string>>* unreadable,
                                      const Refusal& refuse = Refusal(),
                                      const std::string& olddir = std::string());

// Files named on the command line, as histories in the chain's order: a file
// belongs to the log whose rotated generation its name makes it (the shortest
// such name beside it; its own name when there is none), or, when no file of
// that log is named, the named log of that name in another directory (where
// logrotate's olddir moved it from). The logs come in the order they are
// first named; each one's files oldest first, the log's own file last. "-"
// stays a log of its own.
std::vector<std::string> historyOrder(const std::vector<std::string>& files);

} // namespace zorvlog

#endif
