#include "node/node_options.h"

#include "node/socket_io.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace {

bool ParseUnsigned(const std::string& strText, uint64_t nMin, uint64_t nMax, uint64_t& nValue) {
    if (strText.empty() || strText.size() > 12) {
        return false;
    }
    const auto [pEnd, ec] =
        std::from_chars(strText.data(), strText.data() + strText.size(), nValue);
    return ec == std::errc() && pEnd == strText.data() + strText.size() && nValue >= nMin &&
           nValue <= nMax;
}

bool ParseRate(const std::string& strText, double& dValue) {
    if (strText.empty() || strText.size() > 16 ||
        strText.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    char* pEnd = nullptr;
    dValue = std::strtod(strText.c_str(), &pEnd);
    return pEnd == strText.c_str() + strText.size() && dValue > 0 && dValue <= 1000000;
}

} // namespace

std::string CNodeOptions::HelpText() {
    return "Usage: bandscope-node [--bind ADDRESS] [--port PORT] [--once] [--max-seconds N]\n"
           "                      [--udp-rate MBITS] [--max-sessions N] [--max-per-address N]\n"
           "                      [--help] [--version]\n"
           "\n"
           "The peer that Bandscope measures against. It serves every client connection\n"
           "as a session of its own, on the TCP port and the UDP port of the same number.\n"
           "\n"
           "  --bind ADDRESS     listen on this IPv4 address only (default: all)\n"
           "  --port PORT        TCP and UDP port (default 20000; 0 picks a free one)\n"
           "  --once             serve one session, then exit\n"
           "  --max-seconds N    end every download after at most N seconds (default: no limit)\n"
           "  --udp-rate MBITS   pace each UDP download to MBITS megabits per second\n"
           "                     (default: as fast as possible)\n"
           "  --max-sessions N   refuse connections beyond N sessions at once (default 64)\n"
           "  --max-per-address N\n"
           "                     refuse connections beyond N sessions at once from one\n"
           "                     address (default 4)\n"
           "  --help             show this text\n"
           "  --version          show the name and version\n"
           "\n"
           "It prints 'bandscope-node listening on ADDRESS:PORT' when ready and logs one\n"
           "line per event to standard error. Ctrl+C or SIGTERM ends it.\n";
}

bool CNodeOptions::Parse(const std::vector<std::string>& args, std::string& strError) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& strName = args[i];
        if (strName == "--help" || strName == "-h") {
            bHelp = true;
            continue;
        }
        if (strName == "--version") {
            bVersion = true;
            continue;
        }
        if (strName == "--once") {
            bOnce = true;
            continue;
        }
        struct SNumber {
            const char* pszName;
            uint64_t nMin, nMax;
            const char* pszWhat;
        };
        static const SNumber numbers[] = {
            {"--port", 0, 65535, "a port from 0 to 65535"},
            {"--max-seconds", 1, 4000000000u, "a number of seconds from 1"},
            {"--max-sessions", 1, 100000, "a number from 1 to 100000"},
            {"--max-per-address", 1, 100000, "a number from 1 to 100000"},
            {"--silence-ms", 1, 60000, "milliseconds from 1 to 60000"},
            {"--grace-ms", 0, 600000, "milliseconds from 0 to 600000"},
            {"--idle-ms", 1, 86400000, "milliseconds from 1"},
            {"--repeat-window-ms", 0, 60000, "milliseconds from 0 to 60000"},
            {"--drain-limit-ms", 0, 600000, "milliseconds from 0 to 600000"},
            {"--settle-ms", 0, 10000, "milliseconds from 0 to 10000"},
        };
        const bool bKnown = strName == "--bind" || strName == "--udp-rate" ||
                            std::any_of(std::begin(numbers), std::end(numbers),
                                        [&](const SNumber& n) { return strName == n.pszName; });
        if (!bKnown) {
            strError = "unknown option '" + strName + "' (see --help)";
            return false;
        }
        if (i + 1 >= args.size()) {
            strError = strName + " needs a value (see --help)";
            return false;
        }
        const std::string& strValue = args[++i];
        if (strName == "--bind") {
            NodeIo::ADDRESS nAddress = 0;
            if (!NodeIo::AddressFromText(strValue, nAddress)) {
                strError = "--bind needs a dotted IPv4 address, not '" + strValue + "'";
                return false;
            }
            strBind = strValue;
            continue;
        }
        if (strName == "--udp-rate") {
            if (!ParseRate(strValue, dUdpRateMbits)) {
                strError = "--udp-rate needs a positive number of megabits per second, not '" +
                           strValue + "'";
                return false;
            }
            continue;
        }
        for (const SNumber& number : numbers) {
            if (strName != number.pszName) {
                continue;
            }
            uint64_t nValue = 0;
            if (!ParseUnsigned(strValue, number.nMin, number.nMax, nValue)) {
                strError = strName + " needs " + number.pszWhat + ", not '" + strValue + "'";
                return false;
            }
            if (strName == "--port") {
                nPort = static_cast<uint16_t>(nValue);
            } else if (strName == "--max-seconds") {
                nMaxSeconds = static_cast<uint32_t>(nValue);
            } else if (strName == "--max-sessions") {
                nMaxSessions = static_cast<int>(nValue);
            } else if (strName == "--max-per-address") {
                nMaxPerAddress = static_cast<int>(nValue);
            } else if (strName == "--silence-ms") {
                nSilenceMs = static_cast<int>(nValue);
            } else if (strName == "--grace-ms") {
                nGraceMs = static_cast<int>(nValue);
            } else if (strName == "--idle-ms") {
                nIdleMs = static_cast<int>(nValue);
            } else if (strName == "--repeat-window-ms") {
                nRepeatWindowMs = static_cast<int>(nValue);
            } else if (strName == "--drain-limit-ms") {
                nDrainLimitMs = static_cast<int>(nValue);
            } else {
                nSettleMs = static_cast<int>(nValue);
            }
        }
    }
    return true;
}
