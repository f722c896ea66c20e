#include "SectionTime.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace zorvlog {

namespace {

// The numbers of "a/b/c" or "a:b:c[:d]"; an empty last field (the writer's
// text for a negative millisecond reading) counts as 0.
bool numbers(const std::string& text, char separator, std::vector<long>& out) {
    out.clear();
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        std::string field = text.substr(start, end == std::string::npos ? end : end - start);
        char* stop = nullptr;
        long value = std::strtol(field.c_str(), &stop, 10);
        if (*stop != '\0' || (field.empty() && end != std::string::npos)) {
            return false;
        }
        out.push_back(value);
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

bool sameFields(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday &&
           a.tm_hour == b.tm_hour && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

std::string compute(const std::string& date, const std::string& time) {
    std::vector<long> d, t;
    if (!numbers(date, '/', d) || !numbers(time, ':', t) || d.size() != 3 ||
        (t.size() != 3 && t.size() != 4)) {
        return std::string();
    }
    const long ms = t.size() == 4 ? t[3] : 0;
    if (d[0] < 0 || d[0] > 9999 || d[1] < 1 || d[1] > 12 || d[2] < 1 || t[0] < 0 || t[0] > 23 ||
        t[1] < 0 || t[1] > 59 || t[2] < 0 || t[2] > 60 || ms < 0 || ms > 999) {
        return std::string();
    }
    std::tm wanted{};
    wanted.tm_year = static_cast<int>(d[0] - 1900);
    wanted.tm_mon = static_cast<int>(d[1] - 1);
    wanted.tm_mday = static_cast<int>(d[2]);
    wanted.tm_hour = static_cast<int>(t[0]);
    wanted.tm_min = static_cast<int>(t[1]);
    // A leap second is read as the last second of its minute for the offset.
    wanted.tm_sec = static_cast<int>(t[2] == 60 ? 59 : t[2]);
    std::tm normal = wanted;
    const std::time_t asUtc = timegm(&normal);
    if (normal.tm_mday != wanted.tm_mday) {
        return std::string(); // a day the month does not have
    }
    // The offsets in force a day before and a day after: the one before,
    // unless only the one after gives these fields back.
    auto offsetAt = [](std::time_t at) {
        std::tm fields{};
        localtime_r(&at, &fields);
        return fields.tm_gmtoff;
    };
    auto names = [&](long offset) {
        std::time_t instant = asUtc - offset;
        std::tm back{};
        localtime_r(&instant, &back);
        return sameFields(back, wanted);
    };
    const long before = offsetAt(asUtc - 86400), after = offsetAt(asUtc + 86400);
    const long offset = !names(before) && names(after) ? after : before;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04ld-%02ld-%02ldT%02ld:%02ld:%02ld.%03ld%c%02ld:%02ld", d[0],
                  d[1], d[2], t[0], t[1], t[2], ms, offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return text;
}

} // namespace

std::string sectionTimestamp(const std::string& date, const std::string& time) {
    // Every line of a section carries the same text: one reckoning per section.
    static bool zoneRead = false;
    static std::string lastDate, lastTime, lastResult;
    if (!zoneRead) {
        tzset();
        zoneRead = true;
    }
    if (date != lastDate || time != lastTime) {
        lastDate = date;
        lastTime = time;
        lastResult = compute(date, time);
    }
    return lastResult;
}

} // namespace zorvlog
