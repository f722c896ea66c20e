// follow --relp's address and TLS options as the command line gives them.
#include "follow/RelpSettings.h"
#include "cli/ArgParser.h"

#include <gtest/gtest.h>

namespace {

// host|port|tls, or the refusal.
std::string settingsOf(const std::vector<std::string>& args) {
    zorvlog::ArgParser parser(zorvlog::RelpSettings::options());
    parser.parse(args);
    try {
        const zorvlog::RelpSettings settings = zorvlog::RelpSettings::fromOptions(parser);
        return settings.host + "|" + settings.port + "|" + (settings.tls ? "tls" : "tcp");
    } catch (const zorvlog::UsageError& e) {
        return e.what();
    }
}

TEST(RelpSettings, AddressesAndTlsOptions) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--relp", "logs.example.org:2514"}, "logs.example.org|2514|tcp"},
        {{"--relp", "[::1]:2514", "--relp-tls"}, "::1|2514|tls"},
        {{"--relp", "127.0.0.1:65535", "--relp-tls", "--relp-peer", "c"}, "127.0.0.1|65535|tls"},
        {{"--relp", "[::1]2514"}, "--relp [::1]2514: an IPv6 address is written [ADDRESS]:PORT"},
        {{"--relp", "::1:2514"},
         "--relp ::1:2514: HOST:PORT expected, the port a number from 1 "
         "to 65535"},
        {{"--relp", "host:0"},
         "--relp host:0: HOST:PORT expected, the port a number from 1 to "
         "65535"},
        {{"--relp", ":2514"},
         "--relp :2514: HOST:PORT expected, the port a number from 1 to "
         "65535"},
        {{"--relp", "h:1", "--relp-ca", "ca.pem"}, "--relp-ca needs --relp-tls"},
        {{"--relp-tls"}, "--relp-tls needs --relp"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(settingsOf(c.first), c.second) << c.first[1];
    }
}

} // namespace
