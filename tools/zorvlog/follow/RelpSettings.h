#ifndef ZORVLOG_RELPSETTINGS_H
#define ZORVLOG_RELPSETTINGS_H

#include "cli/ArgParser.h"

#include <string>
#include <vector>

namespace zorvlog {

// Where and how follow --relp reaches its collector, from the command line.
struct RelpSettings {
    std::string host, port;
    bool tls = false;
    std::string ca, cert, key; // files; no CA: the system's trusted authorities
    std::string peer;          // the name the collector's certificate must hold; default host

    // --relp HOST:PORT and the --relp-* options of TLS.
    static std::vector<ArgParser::Option> options();
    // The settings the options give (host empty without --relp); throws
    // UsageError at an address that does not read and at a TLS option
    // without --relp-tls, which would otherwise seem to secure plain TCP.
    static RelpSettings fromOptions(const ArgParser& parser);
};

} // namespace zorvlog

#endif
