#include "follow/RelpSettings.h"

namespace zorvlog {

namespace {

bool isPort(const std::string& text) {
    return !text.empty() && text.size() <= 5 &&
           text.find_first_not_of("0123456789") == std::string::npos && std::stoul(text) > 0 &&
           std::stoul(text) <= 65535;
}

} // namespace

std::vector<ArgParser::Option> RelpSettings::options() {
    return {{"relp", true},      {"relp-tls", false}, {"relp-ca", true},
            {"relp-cert", true}, {"relp-key", true},  {"relp-peer", true}};
}

RelpSettings RelpSettings::fromOptions(const ArgParser& parser) {
    RelpSettings settings;
    for (const char* name : {"relp-ca", "relp-cert", "relp-key", "relp-peer", "relp-tls"}) {
        if (parser.has(name) &&
            !parser.has(std::string(name) == "relp-tls" ? "relp" : "relp-tls")) {
            throw UsageError(std::string("--") + name + " needs " +
                             (std::string(name) == "relp-tls" ? "--relp" : "--relp-tls"));
        }
    }
    if (!parser.has("relp")) {
        return settings;
    }
    const std::string address = parser.value("relp");
    std::size_t colon = address.rfind(':');
    if (!address.empty() && address[0] == '[') {
        const std::size_t close = address.find(']');
        if (close == std::string::npos || close + 1 != colon) {
            throw UsageError("--relp " + address + ": an IPv6 address is written [ADDRESS]:PORT");
        }
        settings.host = address.substr(1, close - 1);
    } else if (colon != std::string::npos && address.find(':') == colon) {
        settings.host = address.substr(0, colon);
    }
    if (settings.host.empty() || !isPort(address.substr(colon + 1))) {
        throw UsageError("--relp " + address +
                         ": HOST:PORT expected, the port a number from 1 to 65535");
    }
    settings.port = address.substr(colon + 1);
    settings.tls = parser.has("relp-tls");
    settings.ca = parser.value("relp-ca");
    settings.cert = parser.value("relp-cert");
    settings.key = parser.value("relp-key");
    settings.peer = parser.value("relp-peer");
    return settings;
}

} // namespace zorvlog
