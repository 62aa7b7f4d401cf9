// What the benchmark programs share: their command line, stopping early on
// Ctrl+C, the kernel's interface and UDP counters of both namespaces over a
// measuring window, iperf3 runs between the namespaces (measured by those
// counters, or read from their JSON), and the median of ratios. Header only.
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
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bench_support {

// Set by SIGINT and SIGTERM once CBenchPair is made: the runs stop early, and
// main still removes what it made on its way out.
inline std::atomic<bool> g_bInterrupted{false};

// Says that a run failed, on standard error; after Ctrl+C nothing, since
// the runs it cut short fail for that alone.
inline void ReportFailure(const char* pszWhat) {
    if (!g_bInterrupted) {
        std::fprintf(stderr, "%s\n", pszWhat);
    }
}

// The exit code of every benchmark: 0 when every run went through. After
// Ctrl+C it says so; what the benchmark started is ended and its namespaces
// removed on main's way out.
inline int ExitCode(bool bOk) {
    if (g_bInterrupted) {
        std::fprintf(stderr, "interrupted: the programs it started are ended and its network "
                             "namespaces removed\n");
        return 1;
    }
    return bOk ? 0 : 1;
}

// One whole-number argument of a benchmark's command line.
struct NumberArgument {
    const char* pszName;
    int nMin;
    int nMax;
    int nValue; // the default until read
};

// Reads the arguments in order into args, each optional from the last one
// given on. For --help, an option, a value that is no whole number in range,
// or too many arguments it prints a one-line usage on stderr and ends the
// program with exit code 2: no run starts on a command line it does not
// understand.
inline void ReadNumbers(int argc, char** argv, const char* pszProgram,
                        std::vector<NumberArgument>& args) {
    std::string strUsage = "usage: " + std::string(pszProgram);
    for (const NumberArgument& arg : args) {
        strUsage += " [" + std::string(arg.pszName) + " " + std::to_string(arg.nMin) + "-" +
                    std::to_string(arg.nMax) + ", default " + std::to_string(arg.nValue) + "]";
    }
    bool bOk = argc >= 1 && static_cast<size_t>(argc - 1) <= args.size();
    for (int i = 1; bOk && i < argc; ++i) {
        NumberArgument& arg = args[static_cast<size_t>(i - 1)];
        const std::string_view text(argv[i]);
        const auto [pEnd, ec] = std::from_chars(text.data(), text.data() + text.size(), arg.nValue);
        bOk = ec == std::errc() && pEnd == text.data() + text.size() && arg.nValue >= arg.nMin &&
              arg.nValue <= arg.nMax;
    }
    if (!bOk) {
        std::fprintf(stderr, "%s\n", strUsage.c_str());
        std::exit(2);
    }
}

// The command line of most benchmarks: seconds per run and rounds, each a
// whole number from 1; as ReadNumbers.
inline std::pair<int, int> ReadRunPlan(int argc, char** argv, const char* pszProgram,
                                       std::pair<int, int> defaults) {
    std::vector<NumberArgument> args{{"seconds per run", 1, 3600, defaults.first},
                                     {"rounds", 1, 1000, defaults.second}};
    ReadNumbers(argc, argv, pszProgram, args);
    return {args[0].nValue, args[1].nValue};
}

// The plan as the first line gives it.
inline std::string RunPlanText(int nSeconds, int nRounds, int nWarmupSeconds) {
    return std::to_string(nSeconds) + " s per run after " + std::to_string(nWarmupSeconds) +
           " s warm-up, " + std::to_string(nRounds) + " round(s)";
}

// What every benchmark's main does before its first run: it needs root for
// the namespaces; Ctrl+C, SIGTERM or a closed pipe must leave it the chance
// to tidy up; it makes its namespace pair (removed again when this object
// goes, on every way out of main) and prints the plan and the pair. When it
// cannot, it says why on stderr and ExitCode() is main's: 2 without root, 1
// without the pair.
class CBenchPair {
public:
    CBenchPair(const char* pszProgram, const std::string& strPlan) {
        if (const std::string strWhy = testing_support::NetnsUnavailableReason(); !strWhy.empty()) {
            std::fprintf(stderr, "%s %s\n", pszProgram, strWhy.c_str());
            m_nExitCode = 2;
            return;
        }
        std::signal(SIGINT, [](int) { g_bInterrupted = true; });
        std::signal(SIGTERM, [](int) { g_bInterrupted = true; });
        std::signal(SIGPIPE, SIG_IGN);
        m_netns.emplace();
        if (!m_netns->IsUp()) {
            std::fprintf(stderr, "%s: %s\n", pszProgram, m_netns->GetError().c_str());
            m_nExitCode = 1;
            return;
        }
        std::printf("%s: %s\nveth %s (%s, side A) - %s (%s, side B)\n", pszProgram, strPlan.c_str(),
                    m_netns->A().strInterface.c_str(), m_netns->A().strAddress.c_str(),
                    m_netns->B().strInterface.c_str(), m_netns->B().strAddress.c_str());
        std::fflush(stdout);
    }
    bool IsUp() const { return m_nExitCode == 0; }
    int ExitCode() const { return m_nExitCode; }
    const testing_support::NetnsPair& Netns() const { return *m_netns; }

private:
    std::optional<testing_support::NetnsPair> m_netns;
    int m_nExitCode = 0;
};

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
    int nStreams = 1;      // streams at once (-P)
    bool bReverse = false; // the server sends (-R)
    bool bBidir = false;   // both send at once (--bidir)
    int nSeconds = 1;      // measured
    int nOmitSeconds = 0;  // left out before them (-O)
    bool bTuned = false;   // TCP as iperf3 goes fastest: -Z -l 256K -w 4M
};

// The pids of an iperf3 run's two processes while they run (0 before).
struct Iperf3Pids {
    std::atomic<pid_t> nServer{0};
    std::atomic<pid_t> nClient{0};
};

// CPU time (user and system, its threads' and its kernel work's) that a
// running process has used so far, in microseconds; 0 once it has gone.
inline uint64_t ProcessCpuMicroseconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string strStat;
    std::getline(file, strStat);
    // The name in brackets may hold spaces: the fields count from its end.
    const size_t nNameEnd = strStat.rfind(')');
    if (pid <= 0 || nNameEnd == std::string::npos) {
        return 0;
    }
    std::istringstream fields(strStat.substr(nNameEnd + 2));
    std::string strField;
    uint64_t nUser = 0;
    uint64_t nSystem = 0;
    for (int nField = 3; nField <= 15 && fields >> strField; ++nField) {
        if (nField == 14) {
            nUser = std::strtoull(strField.c_str(), nullptr, 10);
        } else if (nField == 15) {
            nSystem = std::strtoull(strField.c_str(), nullptr, 10);
        }
    }
    static const long nTicks = ::sysconf(_SC_CLK_TCK);
    return (nUser + nSystem) * 1000000 / static_cast<uint64_t>(nTicks > 0 ? nTicks : 100);
}

constexpr uint16_t IPERF3_PORT = 5201;
// iperf3's UDP payload, as the program's: one 1000-byte block a datagram.
constexpr int IPERF3_DATAGRAM = 1000;

// Starts an iperf3 server on one side (for one test, -1), runs the client on
// the other against it, retried while the server is not listening yet, and
// ends the server by its pid. True when the client succeeded, its JSON
// report in strOutput; says so on stderr when it did not. pPids, if given,
// gets the processes' pids while they run.
inline bool RunIperf3(const testing_support::NetnsSide& server,
                      const testing_support::NetnsSide& client, const Iperf3Run& run,
                      std::string& strOutput, Iperf3Pids* pPids = nullptr) {
    using namespace testing_support;
    const std::string strPort = std::to_string(IPERF3_PORT);
    std::vector<std::string> args{"ip",   "netns",           "exec", client.strNamespace, "iperf3",
                                  "-c",   server.strAddress, "-B",   client.strAddress,   "-p",
                                  strPort};
    if (run.bReverse) {
        args.push_back("-R");
    }
    if (run.bBidir) {
        args.push_back("--bidir");
    }
    if (run.nStreams > 1) {
        args.insert(args.end(), {"-P", std::to_string(run.nStreams)});
    }
    args.insert(args.end(),
                {"-t", std::to_string(run.nSeconds), "-O", std::to_string(run.nOmitSeconds), "-J"});
    if (!run.bTcp) {
        args.insert(args.end(), {"-u", "-b", "0", "-l", std::to_string(IPERF3_DATAGRAM)});
    } else if (run.bTuned) {
        args.insert(args.end(), {"-Z", "-l", "256K", "-w", "4M"});
    }
    const pid_t pid = SpawnProcess({"ip", "netns", "exec", server.strNamespace, "iperf3", "-s",
                                    "-1", "-B", server.strAddress, "-p", strPort},
                                   OUTPUT_DISCARDED, OUTPUT_DISCARDED);
    if (pPids != nullptr) {
        pPids->nServer = pid; // ip execs iperf3: the pid stays
    }
    const auto timeout = std::chrono::seconds(run.nSeconds + run.nOmitSeconds + 20);
    int nStatus = -1;
    for (int nTry = 0; nTry < 20 && nStatus != 0 && !g_bInterrupted; ++nTry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        nStatus = RunProcess(args, timeout, &strOutput, [&](pid_t nClient) {
            if (pPids != nullptr) {
                pPids->nClient = nClient;
            }
        });
    }
    EndProcess(pid);
    if (nStatus != 0) {
        ReportFailure(("iperf3 failed:\n" + strOutput).c_str());
        return false;
    }
    return true;
}

// Sleeps, in slices, until the time is up or Ctrl+C came; false for the latter.
inline bool SleepUnlessInterrupted(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (!g_bInterrupted && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            deadline - std::chrono::steady_clock::now(), std::chrono::milliseconds(10)));
    }
    return !g_bInterrupted;
}

// A namespace's UDP counters (/proc/net/snmp). A datagram counts in
// nInDatagrams when a program reads it; one that finds its socket's receive
// buffer full is dropped and counts in nRcvbufErrors (and nInErrors).
struct UdpCounters {
    uint64_t nInDatagrams = 0;
    uint64_t nInErrors = 0;
    uint64_t nRcvbufErrors = 0;
};

// The calling thread's namespace's UDP counters.
inline std::optional<UdpCounters> ReadUdpCountersHere() {
    // Two lines start with "Udp:": the names, then the values.
    std::ifstream file("/proc/thread-self/net/snmp");
    std::string strLine;
    std::vector<std::string> names;
    while (std::getline(file, strLine)) {
        if (strLine.rfind("Udp:", 0) != 0) {
            continue;
        }
        std::istringstream fields(strLine.substr(4));
        if (names.empty()) {
            for (std::string strName; fields >> strName;) {
                names.push_back(strName);
            }
            continue;
        }
        UdpCounters counters;
        uint64_t nValue = 0;
        for (size_t i = 0; i < names.size() && fields >> nValue; ++i) {
            if (names[i] == "InDatagrams") {
                counters.nInDatagrams = nValue;
            } else if (names[i] == "InErrors") {
                counters.nInErrors = nValue;
            } else if (names[i] == "RcvbufErrors") {
                counters.nRcvbufErrors = nValue;
            }
        }
        return counters;
    }
    return std::nullopt;
}

// The kernel's counts of both sides of a pair at one moment: each side's
// veth interface and each namespace's UDP.
struct PairCounters {
    std::chrono::steady_clock::time_point time;
    testing_support::LinkCounters linkA;
    testing_support::LinkCounters linkB;
    UdpCounters udpA;
    UdpCounters udpB;
    uint64_t nOwn = 0; // a count of the measured program's own, when it gives one
};

// A count that the measured program keeps itself (bytes or datagrams it
// read), to be held against the kernel's over the same window.
using OwnCount = std::function<uint64_t()>;

// One thread reads both namespaces' counters in a row, then the program's
// own count, so that the readings lie close together.
inline std::optional<PairCounters> ReadPairCounters(const testing_support::NetnsPair& netns,
                                                    const OwnCount& fnOwnCount = {}) {
    using testing_support::ReadLinkCountersHere;
    std::optional<testing_support::LinkCounters> linkA, linkB;
    std::optional<UdpCounters> udpA, udpB;
    std::chrono::steady_clock::time_point time;
    uint64_t nOwn = 0;
    testing_support::RunInNetns(netns.A().strNamespace, [&] {
        linkA = ReadLinkCountersHere(netns.A().strInterface);
        udpA = ReadUdpCountersHere();
        time = std::chrono::steady_clock::now();
        if (testing_support::EnterNetns(netns.B().strNamespace)) {
            linkB = ReadLinkCountersHere(netns.B().strInterface);
            udpB = ReadUdpCountersHere();
        }
        nOwn = fnOwnCount ? fnOwnCount() : 0;
    });
    if (!linkA || !linkB || !udpA || !udpB) {
        return std::nullopt;
    }
    return PairCounters{time, *linkA, *linkB, *udpA, *udpB, nOwn};
}

// What the counters grew by over a window, and its length.
struct PairWindow {
    double dSeconds = 0;
    testing_support::LinkCounters linkA;
    testing_support::LinkCounters linkB;
    UdpCounters udpA;
    UdpCounters udpB;
    uint64_t nOwn = 0;

    // Bits per second of a byte count of the window.
    double BitsPerSecond(uint64_t nBytes) const {
        return dSeconds > 0 ? 8.0 * static_cast<double>(nBytes) / dSeconds : 0;
    }
    // Per second of a count of the window.
    double PerSecond(uint64_t nCount) const {
        return dSeconds > 0 ? static_cast<double>(nCount) / dSeconds : 0;
    }
};

inline PairWindow Difference(const PairCounters& before, const PairCounters& after) {
    auto link = [](const testing_support::LinkCounters& a, const testing_support::LinkCounters& b) {
        return testing_support::LinkCounters{b.nRxBytes - a.nRxBytes, b.nRxPackets - a.nRxPackets,
                                             b.nTxBytes - a.nTxBytes, b.nTxPackets - a.nTxPackets};
    };
    auto udp = [](const UdpCounters& a, const UdpCounters& b) {
        return UdpCounters{b.nInDatagrams - a.nInDatagrams, b.nInErrors - a.nInErrors,
                           b.nRcvbufErrors - a.nRcvbufErrors};
    };
    return {std::chrono::duration<double>(after.time - before.time).count(),
            link(before.linkA, after.linkA),
            link(before.linkB, after.linkB),
            udp(before.udpA, after.udpA),
            udp(before.udpB, after.udpB),
            after.nOwn - before.nOwn};
}

// Measures the traffic that something else is starting on the link: waits
// (up to 10 s) until side A's interface has carried a megabyte, lets the
// traffic run nWarmupSeconds more, then takes the counters' growth over
// nSeconds. Both kinds of traffic a benchmark compares are measured the
// same way, by the kernel and over the same length of steady running; the
// program's own count, if given, is read with the kernel's.
// Nothing when the traffic never came or the run was interrupted.
inline std::optional<PairWindow> MeasureWindow(const testing_support::NetnsPair& netns,
                                               int nWarmupSeconds, int nSeconds,
                                               const OwnCount& fnOwnCount = {}) {
    constexpr uint64_t STARTED_BYTES = 1 << 20;
    auto moved = [](const PairCounters& a, const PairCounters& b) {
        return b.linkA.nRxBytes + b.linkA.nTxBytes - a.linkA.nRxBytes - a.linkA.nTxBytes;
    };
    const auto first = ReadPairCounters(netns);
    if (!first) {
        return std::nullopt;
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (!SleepUnlessInterrupted(std::chrono::milliseconds(10)) ||
            std::chrono::steady_clock::now() > giveUp) {
            return std::nullopt;
        }
        const auto now = ReadPairCounters(netns);
        if (!now) {
            return std::nullopt;
        }
        if (moved(*first, *now) >= STARTED_BYTES) {
            break;
        }
    }
    if (!SleepUnlessInterrupted(std::chrono::seconds(nWarmupSeconds))) {
        return std::nullopt;
    }
    const auto before = ReadPairCounters(netns, fnOwnCount);
    if (!before || !SleepUnlessInterrupted(std::chrono::seconds(nSeconds))) {
        return std::nullopt;
    }
    const auto after = ReadPairCounters(netns, fnOwnCount);
    if (!after) {
        return std::nullopt;
    }
    return Difference(*before, *after);
}

// UDP over a window, one way: what the sending side's interface sent, and
// what the receiving side made of it: read by its program, or dropped because
// the socket's receive buffer was full, as the kernels counted them. Every
// datagram carries nPayload bytes.
struct UdpReception {
    double dSentBitsPerSecond = 0; // the sending interface, frames with headers
    double dReadBitsPerSecond = 0; // payload read
    double dReadPerSecond = 0;     // datagrams
    double dDroppedPerSecond = 0;
    // Of the datagrams that reached the socket, the share dropped there.
    double DroppedShare() const {
        const double dArrived = dReadPerSecond + dDroppedPerSecond;
        return dArrived > 0 ? dDroppedPerSecond / dArrived : 0;
    }
};

// The reception on side B (bToB) or A.
inline UdpReception ReceptionOf(const PairWindow& window, bool bToB, int nPayload) {
    const testing_support::LinkCounters& sender = bToB ? window.linkA : window.linkB;
    const UdpCounters& udp = bToB ? window.udpB : window.udpA;
    UdpReception reception;
    reception.dSentBitsPerSecond = window.BitsPerSecond(sender.nTxBytes);
    reception.dReadBitsPerSecond =
        window.BitsPerSecond(udp.nInDatagrams * static_cast<uint64_t>(nPayload));
    reception.dReadPerSecond = window.PerSecond(udp.nInDatagrams);
    reception.dDroppedPerSecond = window.PerSecond(udp.nRcvbufErrors);
    return reception;
}

// One line: what was sent, what was read of it, and what the receiving
// socket dropped.
inline void PrintReception(const char* pszName, const UdpReception& reception) {
    std::printf("  %-26s sent %7.0f Mbit/s   read %7.0f Mbit/s (%5.0f k/s)   dropped %5.0f k/s "
                "(%4.1f %%)\n",
                pszName, reception.dSentBitsPerSecond / 1e6, reception.dReadBitsPerSecond / 1e6,
                reception.dReadPerSecond / 1e3, reception.dDroppedPerSecond / 1e3,
                100 * reception.DroppedShare());
}

// An interface's counters once they have stopped changing: the last
// packets of a run may still be on their way when its programs have ended.
inline std::optional<testing_support::LinkCounters>
QuietLinkCounters(const testing_support::NetnsSide& side) {
    using testing_support::ReadLinkCounters;
    auto counters = ReadLinkCounters(side.strNamespace, side.strInterface);
    for (int i = 0; i < 50 && counters; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto next = ReadLinkCounters(side.strNamespace, side.strInterface);
        if (next && next->nRxPackets == counters->nRxPackets &&
            next->nTxPackets == counters->nTxPackets) {
            break;
        }
        counters = next;
    }
    return counters;
}

// CPU seconds (user and system) of this process and of the children it has
// waited for.
inline double ProcessCpuSeconds() {
    double dSeconds = 0;
    for (const int nWho : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(nWho, &usage);
        dSeconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return dSeconds;
}

// An iperf3 test (its server on one side, its client on the other) measured
// by MeasureWindow: iperf3 runs a second longer than warm-up and window, so
// that the window lies inside its steady running. The window's own count is
// the CPU time iperf3's two processes took, in microseconds. pCpuPerGigabyte,
// if given, gets what the whole run cost iperf3's two processes and this one
// (a capture running in it, say) in CPU seconds, the kernel's work for their
// sockets included, per gigabyte the link carried: unlike a rate, a cost
// that other programs' load on the machine hardly moves. Nothing when iperf3
// failed, ended before the window did, or the run was interrupted.
inline std::optional<PairWindow> MeasureIperf3Window(const testing_support::NetnsPair& netns,
                                                     const testing_support::NetnsSide& server,
                                                     const testing_support::NetnsSide& client,
                                                     Iperf3Run run, int nWarmupSeconds,
                                                     int nSeconds,
                                                     double* pCpuPerGigabyte = nullptr) {
    run.nSeconds = nWarmupSeconds + nSeconds + 1;
    run.nOmitSeconds = 0;
    bool bRan = false;
    std::chrono::steady_clock::time_point ended;
    const auto first = ReadPairCounters(netns);
    const double dCpuBefore = ProcessCpuSeconds();
    Iperf3Pids pids;
    std::thread iperf([&] {
        std::string strOutput;
        bRan = RunIperf3(server, client, run, strOutput, &pids);
        ended = std::chrono::steady_clock::now();
    });
    const std::optional<PairWindow> window = MeasureWindow(netns, nWarmupSeconds, nSeconds, [&] {
        return ProcessCpuMicroseconds(pids.nServer) + ProcessCpuMicroseconds(pids.nClient);
    });
    const auto measured = std::chrono::steady_clock::now();
    iperf.join();
    const double dCpu = ProcessCpuSeconds() - dCpuBefore;
    const auto last = ReadPairCounters(netns);
    if (!bRan || !window || ended < measured || !first || !last) {
        return std::nullopt;
    }
    if (pCpuPerGigabyte != nullptr) {
        const PairWindow whole = Difference(*first, *last);
        const uint64_t nBytes = whole.linkA.nTxBytes + whole.linkB.nTxBytes;
        *pCpuPerGigabyte = nBytes > 0 ? dCpu / (static_cast<double>(nBytes) / 1e9) : 0;
    }
    return window;
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
