// The settings the suites of this folder run the shipped files with, and the
// suites themselves: declared here so that bench/ops can run the same suites
// with the settings the shipped files warn against, as measurements.
#ifndef ZORV_TESTS_OPS_SETTINGS_H
#define ZORV_TESTS_OPS_SETTINGS_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace ops {

// A logrotate setting: what replaces the shipped "nocreate", "compress" and
// "delaycompress"; null keeps the shipped file as it is.
struct RotationSetting {
    const char* name;
    const char* directives;
};

// Regular expressions and what replaces them.
using Rewrites = std::vector<std::pair<std::string, std::string>>;

// A shipping setting: rewrites of the shipped agent's and central side's files.
struct ShippingSetting {
    const char* name;
    Rewrites agent;
    Rewrites central;
};

// Named, not dumped byte by byte, in test listings.
inline void PrintTo(const RotationSetting& setting, std::ostream* out) {
    *out << setting.name;
}
inline void PrintTo(const ShippingSetting& setting, std::ostream* out) {
    *out << setting.name;
}

template <typename Setting> std::string settingName(const ::testing::TestParamInfo<Setting>& info) {
    return info.param.name;
}

class LongOpsRotation : public ::testing::TestWithParam<RotationSetting> {};
class LongOpsRsyslog : public ::testing::TestWithParam<ShippingSetting> {};
// syslog-ng's file() looks for a new file once a second (follow-freq): a
// file renamed away twice within that second is never read. Rotations are
// days apart in service; here they are seconds apart.
class LongOpsSyslogNg : public ::testing::TestWithParam<ShippingSetting> {};

} // namespace ops

#endif
