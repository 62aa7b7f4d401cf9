// What the benchmark programs share: their command line, stopping early on
// Ctrl+C, iperf3 runs between the namespaces and reading their JSON, and the
// median of ratios. Header only.
#pragma once

#include "tests/support/address.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench_support {

// Set by SIGINT and SIGTERM once Prepare has run: the runs stop early, and
// main still removes what it made on its way out.
inline std::atomic<bool> g_bInterrupted{false};

// The start of every benchmark: it needs root for the namespaces, and
// Ctrl+C, SIGTERM or a closed pipe must leave it the chance to tidy up.
// False, having said why, when it cannot run.
inline bool Prepare(const char* pszProgram) {
    if (const std::string strWhy = testing_support::NetnsUnavailableReason(); !strWhy.empty()) {
        std::fprintf(stderr, "%s %s\n", pszProgram, strWhy.c_str());
        return false;
    }
    std::signal(SIGINT, [](int) { g_bInterrupted = true; });
    std::signal(SIGTERM, [](int) { g_bInterrupted = true; });
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// The command line of every benchmark: [seconds per run] [rounds], each a
// whole number from 1.
struct RunPlan {
    int nSeconds = 0;
    int nRounds = 0;
};

constexpr int MAX_RUN_SECONDS = 3600;
constexpr int MAX_ROUNDS = 1000;

// The plan from the command line, or nothing, having printed a one-line
// usage on stderr, for --help, an option, a value that is no whole number
// in range, or more than two arguments.
inline std::optional<RunPlan> ParseRunPlan(int argc, char** argv, const char* pszProgram,
                                           RunPlan defaults) {
    auto number = [](const char* pszText, int nMax, int& nValue) {
        const std::string_view text(pszText);
        const auto [pEnd, ec] = std::from_chars(text.data(), text.data() + text.size(), nValue);
        return ec == std::errc() && pEnd == text.data() + text.size() && nValue >= 1 &&
               nValue <= nMax;
    };
    RunPlan plan = defaults;
    const bool bOk = argc <= 3 && (argc < 2 || number(argv[1], MAX_RUN_SECONDS, plan.nSeconds)) &&
                     (argc < 3 || number(argv[2], MAX_ROUNDS, plan.nRounds));
    if (!bOk) {
        std::fprintf(stderr,
                     "usage: %s [seconds per run 1-%d, default %d] [rounds 1-%d, default %d]\n",
                     pszProgram, MAX_RUN_SECONDS, defaults.nSeconds, MAX_ROUNDS, defaults.nRounds);
        return std::nullopt;
    }
    return plan;
}

// As ParseRunPlan, but ends the program with exit code 2 where that printed
// the usage: no run starts on a command line it does not understand.
inline RunPlan ReadRunPlan(int argc, char** argv, const char* pszProgram, RunPlan defaults) {
    const std::optional<RunPlan> plan = ParseRunPlan(argc, argv, pszProgram, defaults);
    if (!plan) {
        std::exit(2);
    }
    return *plan;
}

// The number after "key": in the part of the JSON text that follows
// "section"; 0 when there is none.
inline double JsonNumber(const std::string& strText, const std::string& strSection,
                         const std::string& strKey) {
    const size_t nSection = strText.find("\"" + strSection + "\"");
    const size_t nKey =
        nSection == std::string::npos ? nSection : strText.find("\"" + strKey + "\"", nSection);
    const size_t nColon = nKey == std::string::npos ? nKey : strText.find(':', nKey);
    return nColon == std::string::npos ? 0 : std::strtod(strText.c_str() + nColon + 1, nullptr);
}

// One iperf3 test between the two sides of a namespace pair.
struct Iperf3Run {
    bool bTcp = true;      // one TCP stream; else UDP, 1000-byte datagrams, no rate limit
    bool bReverse = false; // the server sends (-R)
    int nSeconds = 1;      // measured
    int nOmitSeconds = 0;  // left out before them (-O)
};

constexpr uint16_t IPERF3_PORT = 5201;

// Starts an iperf3 server on one side (for one test, -1), runs the client on
// the other against it, retried while the server is not listening yet, and
// ends the server by its pid. True when the client succeeded, its JSON
// report in strOutput; says so on stderr when it did not.
inline bool RunIperf3(const testing_support::NetnsSide& server,
                      const testing_support::NetnsSide& client, const Iperf3Run& run,
                      std::string& strOutput) {
    using namespace testing_support;
    const std::string strPort = std::to_string(IPERF3_PORT);
    std::vector<std::string> args{"ip",   "netns",           "exec", client.strNamespace, "iperf3",
                                  "-c",   server.strAddress, "-B",   client.strAddress,   "-p",
                                  strPort};
    if (run.bReverse) {
        args.push_back("-R");
    }
    args.insert(args.end(),
                {"-t", std::to_string(run.nSeconds), "-O", std::to_string(run.nOmitSeconds), "-J"});
    if (!run.bTcp) {
        args.insert(args.end(), {"-u", "-b", "0", "-l", "1000"});
    }
    const pid_t pid = SpawnProcess({"ip", "netns", "exec", server.strNamespace, "iperf3", "-s",
                                    "-1", "-B", server.strAddress, "-p", strPort},
                                   OUTPUT_DISCARDED, OUTPUT_DISCARDED);
    const auto timeout = std::chrono::seconds(run.nSeconds + run.nOmitSeconds + 20);
    int nStatus = -1;
    for (int nTry = 0; nTry < 20 && nStatus != 0 && !g_bInterrupted; ++nTry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        nStatus = RunProcess(args, timeout, &strOutput);
    }
    EndProcess(pid);
    if (nStatus != 0) {
        std::fprintf(stderr, "iperf3 failed:\n%s\n", strOutput.c_str());
        return false;
    }
    return true;
}

// A TCP connection to the address and port, tried every 100 ms for five
// seconds while nothing listens there yet (a node just started); its
// descriptor, or -1.
inline int ConnectWithRetries(const std::string& strAddress, uint16_t nPort) {
    const sockaddr_in addr = testing_support::Ipv4Address(strAddress, nPort);
    for (int nTry = 0; nTry < 50 && !g_bInterrupted; ++nTry) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            return fd;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

} // namespace bench_support
