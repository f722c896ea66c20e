#include "table/TableCheck.h"

#include "output/TerminalText.h"

#include "ErrorTableRules.h"
#include "TrustedDataSearch.h"
#include "XmlNestingScan.h"
#include "cli/ArgParser.h"
#include "output/Json.h"

#include <zorv/ZorvErrorTable.h>
#include <zorv/ZorvUtil.h>

#include <tinyxml.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/stat.h>

namespace zorvlog {

using namespace zorv_detail;

namespace {

const char* const kTableFile = "ZorvErrorCodes.xml";

std::string quoted(const char* text) {
    return std::string("\"") + text + "\"";
}

// A key attribute as the look-ups read it; a missing one is looked at first.
bool readKey(const TiXmlElement* element, const char* attribute, int& value) {
    return zorv_detail::readKey(element, attribute, value) == zorv_detail::Key::Read;
}

std::string elementName(const TiXmlNode* node) {
    return node->Value() ? node->Value() : "";
}

bool isNamed(const TiXmlNode* node, const char* name) {
    return node->ToElement() != nullptr && elementName(node) == name;
}

// The lines of the elements that follow a node among its siblings: what a
// search that ends at the node never reaches.
std::vector<int> laterElements(const TiXmlNode* node, std::string& described,
                               const char* attribute) {
    std::vector<int> lines;
    described.clear();
    for (const TiXmlNode* next = node->NextSibling(); next != nullptr; next = next->NextSibling()) {
        const TiXmlElement* element = next->ToElement();
        if (element == nullptr) {
            continue;
        }
        lines.push_back(element->Row());
        described += described.empty() ? "" : ", ";
        described += "line " + std::to_string(element->Row());
        const char* value = element->Attribute(attribute);
        if (value != nullptr) {
            described += std::string(" (") + attribute + " " + value + ")";
        }
    }
    return lines;
}

std::string tableLabel(const TiXmlElement* table) {
    const char* id = table->Attribute(kVendorIdAttribute);
    std::string label = "<" + elementName(table) + ">";
    if (id != nullptr) {
        label += " VENDORID " + std::string(id);
    }
    return label;
}

} // namespace

void TableCheck::add(const TiXmlNode* at, const char* kind, const std::string& message,
                     std::vector<int> hides) {
    mFindings.push_back(
        {at ? at->Row() : 0, at ? at->Column() : 0, kind, message, std::move(hides)});
}

void TableCheck::loadsNothing(int line, int column, const char* kind, const std::string& what) {
    mLoadError = line > 0 ? "line " + std::to_string(line) + ": " + what : what;
    mFindings.push_back({line,
                         column,
                         kind,
                         what + ": the library loads nothing from this file, so every lookup "
                                "comes back empty",
                         {}});
}

bool TableCheck::check(const std::string& path) {
    mFindings.clear();
    mReadError.clear();
    mLoadError.clear();
    mLoads = false;
    mTables = mErrors = 0;

    std::string bytes;
    if (!readTableBytes(path.c_str(), bytes, &mReadError)) {
        mLoadError = mReadError;
        return false;
    }
    // The library refuses these before its parser sees them; so do we, which
    // also keeps a hostile nesting depth from overflowing our stack.
    const XmlLimits& limits = kErrorTableLimits;
    switch (refusalOf(bytes)) {
    case TableRefusal::None:
        break;
    case TableRefusal::Empty:
        loadsNothing(0, 0, "not-well-formed", "the file is empty");
        return true;
    case TableRefusal::TooLarge:
        loadsNothing(0, 0, "too-large",
                     "the file is larger than the library reads (" +
                         std::to_string(kMaxTableFileBytes) + " bytes)");
        return true;
    case TableRefusal::TooDeep:
        loadsNothing(0, 0, "too-deep",
                     "elements nest deeper than the library reads (" +
                         std::to_string(limits.depth) + " levels)");
        return true;
    case TableRefusal::TooManyAttributes:
        loadsNothing(0, 0, "too-many-attributes",
                     "an element has more attributes than the library reads (" +
                         std::to_string(limits.attributes) + ")");
        return true;
    case TableRefusal::ReadsPastEnd:
        loadsNothing(0, 0, "not-well-formed",
                     "the file ends inside a UTF-8 character, which would make the parser read "
                     "past its end");
        return true;
    }
    TiXmlDocument document;
    if (!parseTable(bytes, document)) {
        loadsNothing(document.ErrorRow(), document.ErrorCol(), "not-well-formed",
                     std::string("not well-formed XML (") + document.ErrorDesc() + ")");
        return true;
    }
    mLoads = true;

    TiXmlElement* root = firstChildElement(&document, kErrorTablesElement);
    bool rootReported = root != nullptr;
    for (TiXmlNode* node = document.FirstChild(); node != nullptr; node = node->NextSibling()) {
        if (node->ToElement() == nullptr || node == root) {
            continue;
        }
        if (!rootReported) {
            add(node, "no-errortables",
                "the root element is <" + elementName(node) +
                    ">, not <ERRORTABLES>: every lookup comes back empty");
            rootReported = true;
        } else {
            add(node, "unknown-element",
                "<" + elementName(node) + "> outside <ERRORTABLES> is ignored");
        }
    }
    if (root == nullptr) {
        if (!rootReported) {
            add(nullptr, "no-errortables",
                "no <ERRORTABLES> element: every lookup comes back empty");
        }
        return true;
    }
    checkTables(root);
    // In file order, which is how an author walks through them.
    std::stable_sort(mFindings.begin(), mFindings.end(), [](const Finding& a, const Finding& b) {
        return a.line != b.line ? a.line < b.line : a.column < b.column;
    });
    return true;
}

void TableCheck::checkTables(TiXmlElement* root) {
    TiXmlNode* first = firstChildElement(root, kTableElement);
    for (TiXmlNode* node = root->FirstChild(); node != first; node = node->NextSibling()) {
        if (node->ToElement() != nullptr) {
            add(node, "unknown-element",
                "<" + elementName(node) + "> before the first <TABLE> is ignored");
        }
    }
    if (first == nullptr) {
        add(root, "no-tables", "<ERRORTABLES> holds no <TABLE>: every lookup comes back empty");
        return;
    }

    struct FirstTable {
        int line;
        bool hasName;
    };
    std::map<int, FirstTable> seen;
    bool reachable = true;
    for (TiXmlNode* node = first; node != nullptr; node = node->NextSibling()) {
        TiXmlElement* table = node->ToElement();
        if (table == nullptr) {
            continue;
        }
        const std::string name = elementName(table);
        const bool isTable = name == "TABLE";
        if (isTable) {
            ++mTables;
        }
        const char* rawId = table->Attribute(kVendorIdAttribute);
        if (!isTable) {
            add(table, "unknown-element",
                "<" + name + "> after the first <TABLE> is read as a table" +
                    (rawId ? " (it has a VENDORID)" : ""));
        }
        if (rawId == nullptr) {
            if (reachable) {
                std::string later;
                std::vector<int> hides = laterElements(table, later, kVendorIdAttribute);
                std::string message = "<" + name + "> without VENDORID ends every vendor search";
                message += hides.empty() ? " (no table follows it)"
                                         : ": the tables after it are never reached: " + later;
                add(table, "table-without-vendorid", message, hides);
            } else {
                add(table, "table-without-vendorid",
                    "<" + name + "> without VENDORID (already out of reach)");
            }
            reachable = false;
            checkTable(table, false);
            continue;
        }
        int id = 0;
        bool read = readKey(table, kVendorIdAttribute, id);
        if (!read) {
            add(table, "vendorid-not-integer",
                "VENDORID " + quoted(rawId) +
                    " is not an integer: the lookups pass this table over");
        }
        if (read && reachable) {
            bool hasName = firstChildElement(table, kNameElement) != nullptr;
            auto it = seen.find(id);
            if (it == seen.end()) {
                seen[id] = {table->Row(), hasName};
            } else {
                std::string message = "VENDORID " + std::to_string(id) +
                                      " again: the table at line " +
                                      std::to_string(it->second.line) +
                                      " wins, and the error codes of this one are never looked up";
                if (!it->second.hasName && hasName) {
                    message += " (its NAME is used, since the first table has none)";
                    it->second.hasName = true;
                } else {
                    message += hasName ? ", nor is its NAME" : "";
                }
                add(table, "duplicate-vendor", message, {table->Row()});
            }
        }
        checkTable(table, reachable);
    }
}

void TableCheck::checkTable(TiXmlElement* table, bool reachable) {
    const std::string label = tableLabel(table);
    TiXmlNode* name = firstChildElement(table, kNameElement);
    TiXmlNode* firstError = firstChildElement(table, kErrorElement);

    if (name == nullptr) {
        if (reachable) {
            add(table, "name-missing",
                label + " has no NAME: its records carry no vendor name and no version line");
        }
    } else if (name->ToElement() != nullptr) {
        const char* text = name->ToElement()->GetText();
        if (text == nullptr || *text == '\0') {
            add(name, "name-empty",
                label + " has an empty NAME (or one that does not start with its text): its "
                        "records carry no vendor name and no version line");
        }
        checkTextOnly(name->ToElement(), "NAME");
    }

    for (TiXmlNode* node = table->FirstChild(); node != firstError; node = node->NextSibling()) {
        if (node->ToElement() == nullptr || node == name) {
            continue;
        }
        if (isNamed(node, kNameElement)) {
            add(node, "unknown-element", "a second NAME in " + label + " is ignored");
        } else {
            add(node, "unknown-element", "<" + elementName(node) + "> in " + label + " is ignored");
        }
    }

    std::map<int, int> codes;
    bool errorsReachable = true;
    for (TiXmlNode* node = firstError; node != nullptr; node = node->NextSibling()) {
        TiXmlElement* entry = node->ToElement();
        if (entry == nullptr) {
            continue;
        }
        const std::string entryName = elementName(entry);
        const bool isError = entryName == "ERROR";
        if (isError) {
            ++mErrors;
        }
        const char* rawCode = entry->Attribute(kCodeAttribute);
        if (rawCode == nullptr) {
            std::string later;
            std::vector<int> hides;
            std::string consequence;
            if (errorsReachable) {
                hides = laterElements(entry, later, kCodeAttribute);
                consequence = hides.empty() ? " (nothing follows it)"
                                            : "; the entries after it are never found: " + later;
            }
            if (entryName == "NAME") {
                add(entry, "name-after-error",
                    "NAME after the ERROR entries of " + label +
                        " is read as an error entry without CODE and ends the search for codes" +
                        consequence + (node == name ? "; the name itself is still found" : ""),
                    hides);
            } else if (isError) {
                add(entry, "error-without-code",
                    "ERROR without CODE in " + label + " ends the search for codes" + consequence,
                    hides);
            } else {
                add(entry, "unknown-element",
                    "<" + entryName + "> among the ERROR entries of " + label +
                        " is read as an error entry without CODE and ends the search for codes" +
                        consequence,
                    hides);
            }
            errorsReachable = false;
            if (isError) {
                checkError(entry);
            }
            continue;
        }
        if (!isError) {
            add(entry, "unknown-element",
                "<" + entryName + "> among the ERROR entries of " + label +
                    " is read as an error entry (it has a CODE)");
        }
        int code = 0;
        bool read = readKey(entry, kCodeAttribute, code);
        if (!read) {
            add(entry, "code-not-integer",
                "CODE " + quoted(rawCode) + " in " + label +
                    " is not an integer: the lookups pass this entry over");
        }
        if (read && errorsReachable && reachable) {
            auto it = codes.find(code);
            if (it == codes.end()) {
                codes[code] = entry->Row();
            } else {
                add(entry, "duplicate-code",
                    "CODE " + std::to_string(code) + " again in " + label + ": the entry at line " +
                        std::to_string(it->second) + " wins, and this one is never reached",
                    {entry->Row()});
            }
        }
        if (isError) {
            checkError(entry);
        }
    }
}

void TableCheck::checkError(TiXmlElement* error) {
    const char* code = error->Attribute(kCodeAttribute);
    const std::string label = "ERROR" + (code ? " CODE " + std::string(code) : std::string());
    TiXmlNode* description = firstChildElement(error, kDescriptionElement);
    if (description == nullptr || description->ToElement() == nullptr) {
        add(error, "error-without-description",
            label + " has no DESCRIPTION: records with this code carry no description");
    } else {
        const char* text = description->ToElement()->GetText();
        if (text == nullptr || *text == '\0') {
            add(description, "description-empty",
                label + " has an empty DESCRIPTION (or one that does not start with its "
                        "text): records with this code carry no description");
        }
        checkTextOnly(description->ToElement(), "DESCRIPTION");
    }
    for (TiXmlNode* node = error->FirstChild(); node != nullptr; node = node->NextSibling()) {
        if (node->ToElement() == nullptr || node == description) {
            continue;
        }
        add(node, "unknown-element", "<" + elementName(node) + "> in " + label + " is ignored");
    }
}

void TableCheck::checkTextOnly(TiXmlElement* element, const char* what) {
    for (TiXmlNode* node = element->FirstChild(); node != nullptr; node = node->NextSibling()) {
        if (node->ToElement() != nullptr) {
            add(node, "unknown-element",
                "<" + elementName(node) + "> inside " + what + " is not part of its text");
        }
    }
}

std::vector<std::pair<int, std::string>> TableCheck::vendorNames() {
    std::vector<std::pair<int, std::string>> names;
    const std::string path = search().path;
    TiXmlDocument document;
    if (path.empty() || !document.LoadFile(path.c_str())) {
        return names;
    }
    // The ids come from the document; each name from the library's own
    // look-up, so that a name is known exactly as records get it.
    ZorvErrorTable table{TStr(path.c_str())};
    table.Load();
    for (TiXmlElement* element = firstTable(document); element != nullptr;
         element = nextElement(element->NextSibling())) {
        int id = 0;
        if (!readKey(element, kVendorIdAttribute, id) ||
            std::find_if(names.begin(), names.end(),
                         [&](const auto& known) { return known.first == id; }) != names.end()) {
            continue;
        }
        const std::string name = table.GetVendorName(id).bytes();
        if (!name.empty()) {
            names.emplace_back(id, name);
        }
    }
    return names;
}

TableCheck::Search TableCheck::search() {
    Search found;
    const std::vector<TrustedDataPlace> places = searchTrustedData(
        ZorvUtil::getZorvLocalUserDataLocation().bytes(), kTableFile, /*everyPlace=*/true);
    std::vector<std::string> later;
    for (const TrustedDataPlace& place : places) {
        // The installed data directory is often also an $XDG_DATA_DIRS entry.
        if (std::find(found.searched.begin(), found.searched.end(), place.directory) !=
            found.searched.end()) {
            continue;
        }
        found.searched.push_back(place.directory);
        if (!found.path.empty()) {
            if (place.trusted) {
                later.push_back(place.path);
            }
        } else if (place.trusted) {
            found.path = place.path;
        } else if (place.present) {
            found.passedOver.push_back(place.path + " is passed over: it " + place.reason);
        }
    }
    TableCheck checker;
    if (!found.path.empty() && !(checker.check(found.path) && checker.loads())) {
        // The library stops at the first table it may read, loadable or not.
        std::string hidden = "any table later in the search";
        if (!later.empty()) {
            hidden.clear();
            for (const std::string& path : later) {
                hidden += (hidden.empty() ? "" : ", ") + path;
            }
            hidden += ", later in the search";
        }
        found.unloadable = found.path + " cannot be loaded (" + checker.loadError() +
                           "): records carry no vendor names or descriptions, and it hides " +
                           hidden;
    }
    return found;
}

std::string TableCheck::noTableText(const Search& search) {
    std::string dirs;
    for (const std::string& dir : search.searched) {
        dirs += (dirs.empty() ? "" : ", ") + dir;
    }
    return std::string("no ") + kTableFile + " in " + dirs + "; the package zorv-data provides it";
}

namespace {

// The report --json prints; `path` empty when there is no table to name.
void printJsonReport(const std::string& path, bool isDefault, int tables, int errors,
                     const std::vector<TableCheck::Finding>& findings, bool clean) {
    std::vector<std::string> items;
    for (const TableCheck::Finding& f : findings) {
        std::vector<std::string> hides;
        for (int line : f.hides) {
            hides.push_back(std::to_string(line));
        }
        items.push_back(Json()
                            .add("line", static_cast<long>(f.line))
                            .add("column", static_cast<long>(f.column))
                            .add("kind", f.kind)
                            .add("message", f.message)
                            .addRaw("hides", Json::array(hides))
                            .str());
    }
    Json report;
    if (path.empty()) {
        report.addNull("file");
    } else {
        report.add("file", path);
    }
    std::printf("%s\n", report.addRaw("default", isDefault ? "true" : "false")
                            .add("tables", static_cast<long>(tables))
                            .add("errors", static_cast<long>(errors))
                            .addRaw("clean", clean ? "true" : "false")
                            .addRaw("findings", Json::array(items))
                            .str()
                            .c_str());
}

} // namespace

int TableCheck::run(const std::vector<std::string>& args) {
    ArgParser parser({{"json", false}});
    parser.parse(args);
    if (parser.operands().size() > 1) {
        throw UsageError("check-table takes at most one FILE");
    }
    const bool json = parser.has("json");
    const bool isDefault = parser.operands().empty();
    std::string path = isDefault ? std::string() : parser.operands()[0];
    if (isDefault) {
        const Search found = search();
        for (const std::string& note : found.passedOver) {
            std::fprintf(stderr, "zorvlog: note: %s\n", forTerminal(note).c_str());
        }
        if (found.path.empty()) {
            // Said on stderr as every message is; with --json also as a
            // finding, so that a script reading stdout is not left with nothing.
            std::fprintf(stderr, "zorvlog: %s\n", forTerminal(noTableText(found)).c_str());
            if (json) {
                printJsonReport(std::string(), true, 0, 0,
                                {{0, 0, "no-table", noTableText(found), {}}}, false);
            }
            return 1;
        }
        path = found.path;
        if (!found.unloadable.empty()) {
            std::fprintf(stderr, "zorvlog: note: %s\n", forTerminal(found.unloadable).c_str());
        }
        if (!json) {
            std::printf("Checking %s, the table the library reads.\n", forTerminal(path).c_str());
        }
    }

    TableCheck checker;
    if (!checker.check(path)) {
        std::fprintf(stderr, "zorvlog: cannot read '%s': %s\n", forTerminal(path).c_str(),
                     forTerminal(checker.readError()).c_str());
        return 2;
    }
    const std::vector<Finding>& findings = checker.findings();
    if (json) {
        printJsonReport(path, isDefault, checker.tableCount(), checker.errorCount(), findings,
                        findings.empty());
    } else {
        for (const Finding& f : findings) {
            std::printf("%s:%d:%d: %s: %s\n", forTerminal(path).c_str(), f.line, f.column,
                        f.kind.c_str(), forTerminal(f.message).c_str());
        }
        if (findings.empty()) {
            std::printf("%s: clean (%d tables, %d error codes)\n", forTerminal(path).c_str(),
                        checker.tableCount(), checker.errorCount());
        } else {
            std::printf("%zu finding%s\n", findings.size(), findings.size() == 1 ? "" : "s");
        }
    }
    return findings.empty() ? 0 : 1;
}

const char* TableCheck::help() {
    return "Usage: zorvlog check-table [--json] [FILE]\n"
           "\n"
           "Checks an error-code table (ZorvErrorCodes.xml) the way the library's lookups\n"
           "read it. Without FILE it checks the table the library would load, and says\n"
           "which path that is. Every finding carries its line and a kind:\n"
           "  no-table (without FILE: none found), not-well-formed, too-deep,\n"
           "  too-many-attributes, too-large, no-errortables,\n"
           "  no-tables, table-without-vendorid,\n"
           "  vendorid-not-integer, code-not-integer, duplicate-vendor, duplicate-code,\n"
           "  name-missing, name-empty, name-after-error, error-without-code,\n"
           "  error-without-description, description-empty, unknown-element\n"
           "\n"
           "  --json   one JSON object: file, tables, errors, clean and the findings\n"
           "           (line, column, kind, message, hides: the lines kept out of reach)\n"
           "\n"
           "Without FILE, a table the search passes over (one another user could have\n"
           "written) is named on stderr with the reason, and so is a table that cannot be\n"
           "loaded, which hides every table later in the search.\n"
           "\n"
           "Exit status: 0 clean, 1 findings (or, without FILE, no table found: the\n"
           "directories searched are named), 2 the file cannot be read (or bad arguments).\n";
}

} // namespace zorvlog
