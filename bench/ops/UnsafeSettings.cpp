// The settings the shipped rotation and shipping files warn against, run
// through the suites of tests/ops: their losses vary from run to run, so
// they are measured here (unsafe-settings.sh prints the table) rather than
// tested. Each line "[ stats    ]" of a run is one setting's count.
#include "OpsSettings.h"

namespace {

using ops::LongOpsRotation;
using ops::LongOpsRsyslog;
using ops::LongOpsSyslogNg;
using ops::RotationSetting;
using ops::ShippingSetting;

INSTANTIATE_TEST_SUITE_P(Unsafe, LongOpsRotation,
                         ::testing::Values(RotationSetting{"Create", "create"},
                                           RotationSetting{"Copytruncate", "copytruncate"},
                                           RotationSetting{"CompressWithoutDelay",
                                                           "nocreate\n    compress"}),
                         ops::settingName<RotationSetting>);

const char kGlobal[] = R"(global\([^)]*\)\n)";
const char kEndPattern[] = R"(endmsg\.regex="([^"\\]|\\.)*")";

INSTANTIATE_TEST_SUITE_P(
    Unsafe, LongOpsRsyslog,
    ::testing::Values(
        ShippingSetting{"Defaults",
                        {{kGlobal, ""},
                         {R"(\n *(escapeLF="off"|readTimeout="2"))", ""},
                         {kEndPattern, ""},
                         {R"(TCP_Framing="octet-counted" template="zorvRfc5424")", ""}},
                        {{kGlobal, ""}, {R"( maxFrameSize="[0-9]+")", ""}}},
        ShippingSetting{
            "StartPattern", {{kEndPattern, R"(startmsg.regex="^[0-9]+\t[0-9]{4}/")"}}, {}}),
    ops::settingName<ShippingSetting>);

INSTANTIATE_TEST_SUITE_P(
    Unsafe, LongOpsSyslogNg,
    ::testing::Values(
        ShippingSetting{"PrefixOnly",
                        {{R"(multi-line-mode\(prefix-suffix\))", "multi-line-mode(regexp)"},
                         {R"(\n *multi-line-suffix\("([^"\\]|\\.)*"\))", ""}},
                        {}},
        ShippingSetting{"WildcardFile",
                        {{R"re(file\("([^"]*)/([^"/]*)")re",
                          R"re(wildcard-file(base-dir("$1") filename-pattern("$2"))re"}},
                        {}}),
    ops::settingName<ShippingSetting>);

} // namespace
