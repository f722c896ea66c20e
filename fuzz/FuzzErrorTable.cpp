// Arbitrary bytes as an error-code file: Load must either refuse them or give
// a table whose every lookup answers without crashing, leaking or reading
// outside what was loaded, and answers as a walk of the same document does.
#include "zorv/ZorvErrorTable.h"

#include "ErrorTableRules.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile size_t gSink;

// One file per process, rewritten for every input: Load reads by path.
const std::string& tablePath() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                            "/zorv-fuzz-table-XXXXXX";
        if (::mkdtemp(&templ[0]) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return templ + "/ZorvErrorCodes.xml";
    }();
    return path;
}

void writeAll(const std::string& path, const uint8_t* data, size_t size) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, out) != size) {
        std::abort();
    }
    std::fclose(out);
}

int intAt(const uint8_t* data, size_t size, size_t offset) {
    unsigned value = 0;
    for (size_t i = 0; i < sizeof value; ++i) {
        value = (value << 8) | (offset + i < size ? data[offset + i] : 0u);
    }
    int result;
    std::memcpy(&result, &value, sizeof result);
    return result;
}

// A lookup's answer is a TStr: touch every byte so that a dangling or short
// buffer shows under the address sanitizer.
size_t touch(const TStr& text) {
    size_t sum = 0;
    const std::string& bytes = text.bytes();
    for (char c : bytes) {
        sum += static_cast<unsigned char>(c);
    }
    return sum;
}

// The answers a walk of the document gives, which the table's index must give too.
TStr walkedName(TiXmlDocument& document, int id) {
    const TiXmlElement* name = zorv_detail::vendorNameElement(document, id);
    return TStr(name != nullptr ? name->GetText() : nullptr);
}

TStr walkedDescription(ZorvErrorTable& table, TiXmlDocument& document, int id, int code) {
    TiXmlElement* first = zorv_detail::vendorTable(zorv_detail::firstTable(document), id);
    return first != nullptr ? table.GetVendorErrorDescription(first, code) : TStr();
}

// The first ids and codes the document holds, so that look-ups reach its entries.
void keysIn(TiXmlDocument& document, std::vector<int>& ids, std::vector<int>& codes) {
    using namespace zorv_detail;
    for (TiXmlElement* t = firstTable(document); t != nullptr && ids.size() < 4;
         t = nextElement(t->NextSibling())) {
        int id = 0;
        if (readKey(t, kVendorIdAttribute, id) == Key::Read) {
            ids.push_back(id);
        }
        for (TiXmlElement* e = nextElement(firstChildElement(t, kErrorElement));
             e != nullptr && codes.size() < 8; e = nextElement(e->NextSibling())) {
            if (readKey(e, kCodeAttribute, id) == Key::Read) {
                codes.push_back(id);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = tablePath();
    writeAll(path, data, size);

    ZorvErrorTable table{TStr(path.c_str())};
    const bool loaded = table.Load();

    // The ids and codes of the real table, the edges of int, and two taken
    // from the input so that the fuzzer can steer lookups to entries it made.
    const int fromInput[] = {intAt(data, size, 0), intAt(data, size, size / 2)};
    std::vector<int> ids = {0, 1, 5, 8, 10, -1, INT_MIN, INT_MAX, fromInput[0], fromInput[1]};
    std::vector<int> codes = {0, 1, 2, 3, 6, -1, INT_MIN, INT_MAX, fromInput[0], fromInput[1]};
    // The same bytes parsed here, for the walks (and for more keys to look up).
    std::string bytes(reinterpret_cast<const char*>(data), size);
    TiXmlDocument document;
    const bool parsed = zorv_detail::refusalOf(bytes) == zorv_detail::TableRefusal::None &&
                        zorv_detail::parseTable(bytes, document);
    if (parsed != loaded) {
        std::abort();
    }
    keysIn(document, ids, codes);
    size_t sum = 0;
    for (int id : ids) {
        const TStr name = table.GetVendorName(id);
        if (name != (loaded ? walkedName(document, id) : TStr())) {
            std::abort(); // an unloaded table yields nothing, a loaded one what a walk finds
        }
        sum += touch(name);
        for (int code : codes) {
            const TStr description = table.GetErrorDescription(id, code);
            if (description != (loaded ? walkedDescription(table, document, id, code) : TStr())) {
                std::abort();
            }
            sum += touch(description);
        }
    }
    sum += touch(table.GetVendorErrorDescription(nullptr, fromInput[0]));

    // A second Load of the same bytes must agree with the first (skipped for
    // the multi-megabyte inputs, whose parse dominates the run).
    if (size < 65536 && table.Load() != loaded) {
        std::abort();
    }
    gSink = sum;
    return 0;
}
