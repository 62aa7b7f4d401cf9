// A whole Bandscope session against iperf3 on the same link, and Bandscope's
// own figures against the kernel's.
//
//   bench_session [seconds per test, default 5] [rounds, default 2]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), runs bandscope-node in the first and `bandscope --run`
// with all six tests in the second, and iperf3's equivalent of each test
// between the same two addresses in the same run (TCP up, -R, --bidir, and
// the same with -u -b 0 -l 1000). Rounds alternate whether Bandscope or
// iperf3 goes first.
//
// Both sides are measured the same way, from the kernel's counters of the
// second side's veth (IP bytes, headers included, as Bandscope counts): for
// Bandscope over its test's seconds, read whenever it prints a second, for
// iperf3 over as many seconds of its run; for both the first second is left
// out as warm-up. Bandscope's own bytes (its samples summed) are held
// against the counters' over the whole test. For UDP it also prints what the
// receiving program read (the receiving namespace's UDP counters: the node
// for uploads, Bandscope's UDP client for downloads, iperf3's server or
// client) and what that socket dropped. Prints every test of every round,
// then the medians. Everything it starts is ended by pid, and the
// namespaces are removed on the way out.
#include "bench/bench_support.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace bench_support;
using namespace testing_support;

namespace {

constexpr uint16_t NODE_PORT = 20000;
constexpr uint64_t ETHERNET_HEADER = 14; // in the veth's byte counts, not in an IP length

struct TestCase {
    int nTest;
    const char* pszName;
    bool bUp;
    bool bDown;
    Iperf3Run iperf;
};

const TestCase kCases[] = {
    {1, "TCP upload", true, false, {true, false, false}},
    {2, "TCP download", false, true, {true, true, false}},
    {3, "TCP both ways", true, true, {true, false, true}},
    {4, "UDP upload", true, false, {false, false, false}},
    {5, "UDP download", false, true, {false, true, false}},
    {6, "UDP both ways", true, true, {false, false, true}},
};

// The second side is the client's: its veth sends the uploads and receives the downloads.
uint64_t IpBytes(uint64_t nBytes, uint64_t nPackets) {
    return nBytes - ETHERNET_HEADER * nPackets;
}
uint64_t UpBytes(const PairWindow& w) {
    return IpBytes(w.linkB.nTxBytes, w.linkB.nTxPackets);
}
uint64_t DownBytes(const PairWindow& w) {
    return IpBytes(w.linkB.nRxBytes, w.linkB.nRxPackets);
}

// KB/s (1 KB = 1000 bytes) of the test's data directions over a window.
double TestRate(const TestCase& test, const PairWindow& w) {
    const uint64_t nBytes = (test.bUp ? UpBytes(w) : 0) + (test.bDown ? DownBytes(w) : 0);
    return w.dSeconds > 0 ? static_cast<double>(nBytes) / w.dSeconds / 1000 : 0;
}

// UDP payload read by the receiving programs, KB/s, and the share of the
// datagrams that reached their sockets but were dropped there.
struct UdpRead {
    double dKBps = 0;
    double dLoss = 0;
};
UdpRead ReadOf(const TestCase& test, const PairWindow& w) {
    uint64_t nRead = 0;
    uint64_t nDropped = 0;
    if (test.bUp) { // read on the node's side
        nRead += w.udpA.nInDatagrams;
        nDropped += w.udpA.nRcvbufErrors;
    }
    if (test.bDown) {
        nRead += w.udpB.nInDatagrams;
        nDropped += w.udpB.nRcvbufErrors;
    }
    UdpRead read;
    read.dKBps = w.PerSecond(nRead) * IPERF3_DATAGRAM / 1000;
    read.dLoss = nRead + nDropped > 0 ? static_cast<double>(nDropped) / (nRead + nDropped) : 0;
    return read;
}

// What one of Bandscope's printed seconds said, and the counters when it came.
struct Second {
    int nTest = 0; // 0: between tests
    int nDownload = 0;
    int nUpload = 0;
    PairCounters counters;
};

// One test of Bandscope's session, as measured.
struct SessionTest {
    double dKBps = 0;         // by the counters, without the first second
    double dCountedShare = 0; // Bandscope's bytes over the counters' bytes, whole test
    UdpRead read;
};

struct SessionRun {
    std::map<int, SessionTest> tests;
    double dCountedShare = 0; // Bandscope's bytes over the counters', every second of the session
    uint64_t nDropped = 0;    // by the capture
    bool bOk = false;
};

// Parses "connected" (where the first second starts), "test N ... k/S s
// download D KB/s   upload U KB/s" and "waiting for test M ... download D
// KB/s   upload U KB/s".
std::optional<Second> ParseSecond(const std::string& strLine) {
    Second second;
    const size_t nDown = strLine.find("download ");
    const size_t nUp = strLine.find("upload ");
    if (strLine.rfind("connected", 0) == 0)
        return second; // the session's first second starts here
    if (strLine.rfind("test ", 0) == 0)
        second.nTest = std::atoi(strLine.c_str() + 5);
    else if (strLine.rfind("waiting ", 0) != 0)
        return std::nullopt;
    if (nDown == std::string::npos || nUp == std::string::npos)
        return std::nullopt;
    second.nDownload = std::atoi(strLine.c_str() + nDown + 9);
    second.nUpload = std::atoi(strLine.c_str() + nUp + 7);
    return second;
}

// Runs the node and `bandscope --run`, reading the link's counters at every
// second Bandscope prints.
SessionRun RunSession(const NetnsPair& netns, int nSeconds) {
    SessionRun run;
    NodeProcess node;
    if (!node.Start({"--bind", netns.A().strAddress, "--port", std::to_string(NODE_PORT), "--once"},
                    netns.A().strNamespace) ||
        node.WaitReady().empty()) {
        std::fprintf(stderr, "the node did not start: %s\n", node.Log().c_str());
        return run;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0)
        return run;
    const pid_t pid = SpawnProcess(
        {"ip", "netns", "exec", netns.B().strNamespace, BANDSCOPE_BINARY_DIR "/app/bandscope",
         "--run", "--node", netns.A().strAddress, "--client", netns.B().strAddress, "--port",
         std::to_string(NODE_PORT), "--seconds", std::to_string(nSeconds)},
        fds[1], OUTPUT_INHERITED);
    ::close(fds[1]);
    std::vector<Second> seconds;
    std::string strOut;
    std::string strPending;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(6 * nSeconds + 60);
    while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fds[0], POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        strPending.append(buffer, static_cast<size_t>(n));
        for (size_t nEnd; (nEnd = strPending.find('\n')) != std::string::npos;) {
            const std::string strLine = strPending.substr(0, nEnd);
            strPending.erase(0, nEnd + 1);
            strOut += strLine + "\n";
            std::optional<Second> second = ParseSecond(strLine);
            const std::optional<PairCounters> counters = ReadPairCounters(netns);
            if (second && counters) {
                second->counters = *counters;
                seconds.push_back(*second);
            }
        }
    }
    ::close(fds[0]);
    const std::optional<int> code = WaitProcess(pid, std::chrono::seconds(10));
    if (!code)
        KillProcess(pid);
    if (code.value_or(-1) != 0 || g_bInterrupted) {
        ReportFailure(("bandscope --run failed:\n" + strOut).c_str());
        return run;
    }
    if (const size_t nAt = strOut.find(" packets, "); nAt != std::string::npos)
        run.nDropped = std::strtoull(strOut.c_str() + nAt + 10, nullptr, 10);

    // The whole session, every second printed: where a second starts and
    // ends matters only at its two ends.
    if (seconds.size() < 2 || seconds.front().nTest != 0) {
        std::fprintf(stderr, "too few seconds printed:\n%s\n", strOut.c_str());
        return run;
    }
    uint64_t nSessionCounted = 0;
    for (size_t i = 1; i < seconds.size(); ++i)
        nSessionCounted += 1000 * static_cast<uint64_t>(seconds[i].nDownload + seconds[i].nUpload);
    const PairWindow session = Difference(seconds.front().counters, seconds.back().counters);
    run.dCountedShare =
        static_cast<double>(nSessionCounted) / (UpBytes(session) + DownBytes(session));

    for (const TestCase& test : kCases) {
        // The seconds of this test, and the second before its first.
        size_t nFirst = 0;
        while (nFirst < seconds.size() && seconds[nFirst].nTest != test.nTest)
            ++nFirst;
        size_t nLast = nFirst;
        while (nLast + 1 < seconds.size() && seconds[nLast + 1].nTest == test.nTest)
            ++nLast;
        if (nFirst == 0 || nFirst >= seconds.size() || nLast - nFirst + 1 < 2) {
            std::fprintf(stderr, "test %d: too few seconds printed\n", test.nTest);
            return run;
        }
        const PairWindow whole = Difference(seconds[nFirst - 1].counters, seconds[nLast].counters);
        const PairWindow steady = Difference(seconds[nFirst].counters, seconds[nLast].counters);
        uint64_t nCounted = 0;
        for (size_t i = nFirst; i <= nLast; ++i)
            nCounted += 1000 * static_cast<uint64_t>((test.bUp ? seconds[i].nUpload : 0) +
                                                     (test.bDown ? seconds[i].nDownload : 0));
        const uint64_t nCounters =
            (test.bUp ? UpBytes(whole) : 0) + (test.bDown ? DownBytes(whole) : 0);
        SessionTest& result = run.tests[test.nTest];
        result.dKBps = TestRate(test, steady);
        result.dCountedShare = nCounters > 0 ? static_cast<double>(nCounted) / nCounters : 0;
        result.read = ReadOf(test, steady);
    }
    run.bOk = true;
    return run;
}

// One test of one round, or the medians of the rounds' columns.
enum Column {
    BANDSCOPE,
    IPERF,
    RATIO,
    COUNTED,
    DROPPED,
    READ,
    IPERF_READ,
    READ_RATIO,
    LOSS,
    IPERF_LOSS,
    COLUMNS
};
using Row = std::array<double, COLUMNS>;

void PrintRow(const char* pszWhat, const TestCase& test, const Row& row) {
    std::printf("%-7s %d %-13s %10.0f %10.0f %6.3f %9.5f %7.0f", pszWhat, test.nTest, test.pszName,
                row[BANDSCOPE], row[IPERF], row[RATIO], row[COUNTED], row[DROPPED]);
    if (!test.iperf.bTcp)
        std::printf("   read %9.0f %9.0f %6.3f   loss %5.1f %% %5.1f %%", row[READ],
                    row[IPERF_READ], row[READ_RATIO], 100 * row[LOSS], 100 * row[IPERF_LOSS]);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_session", {5, 2});
    if (!Prepare("bench_session"))
        return 1;
    if (nSeconds < 2) {
        std::fprintf(stderr, "bench_session: tests need at least 2 seconds (one is warm-up)\n");
        return 2;
    }
    NetnsPair netns;
    if (!netns.IsUp()) {
        std::fprintf(stderr, "%s\n", netns.GetError().c_str());
        return 1;
    }
    std::printf("node on %s, bandscope --run and iperf3's client on %s, over veth; %d s a test,\n"
                "the first left out of the rates. KB/s of IP bytes (headers included) by the\n"
                "kernel's counters; 'counted' is Bandscope's bytes over the counters' bytes;\n"
                "'dropped' the capture's drops in the session; UDP 'read' is payload KB/s the\n"
                "receiving program read, 'loss' the share its socket dropped.\n",
                netns.A().strAddress.c_str(), netns.B().strAddress.c_str(), nSeconds);
    std::printf("%-7s %-15s %10s %10s %6s %9s %7s\n", "round", "test", "bandscope", "iperf3",
                "ratio", "counted", "dropped");

    std::map<int, std::vector<Row>> rows;
    std::vector<double> sessionShares;
    bool bFailed = false;
    for (int nRound = 1; nRound <= nRounds && !g_bInterrupted && !bFailed; ++nRound) {
        // Who goes first alternates, so that a drift of the machine falls on both.
        SessionRun session;
        std::map<int, std::optional<PairWindow>> iperf;
        const auto RunIperfAll = [&] {
            for (const TestCase& test : kCases)
                iperf[test.nTest] =
                    MeasureIperf3Window(netns, netns.A(), netns.B(), test.iperf, 1, nSeconds - 1);
        };
        if (nRound % 2 == 1) {
            session = RunSession(netns, nSeconds);
            RunIperfAll();
        } else {
            RunIperfAll();
            session = RunSession(netns, nSeconds);
        }
        if (!session.bOk || g_bInterrupted) {
            bFailed = true;
            break;
        }
        std::printf("round %d: the whole session counted %.5f of the counters' bytes, %" PRIu64
                    " packets dropped by the capture\n",
                    nRound, session.dCountedShare, session.nDropped);
        sessionShares.push_back(session.dCountedShare);
        for (const TestCase& test : kCases) {
            if (!iperf[test.nTest]) {
                ReportFailure(("iperf3 test " + std::to_string(test.nTest) + " failed").c_str());
                bFailed = true;
                break;
            }
            const SessionTest& ours = session.tests[test.nTest];
            const UdpRead theirs = ReadOf(test, *iperf[test.nTest]);
            const double dIperf = TestRate(test, *iperf[test.nTest]);
            const Row row{ours.dKBps,
                          dIperf,
                          dIperf > 0 ? ours.dKBps / dIperf : 0,
                          ours.dCountedShare,
                          static_cast<double>(session.nDropped),
                          ours.read.dKBps,
                          theirs.dKBps,
                          theirs.dKBps > 0 ? ours.read.dKBps / theirs.dKBps : 0,
                          ours.read.dLoss,
                          theirs.dLoss};
            rows[test.nTest].push_back(row);
            PrintRow(("round " + std::to_string(nRound)).c_str(), test, row);
        }
        std::fflush(stdout);
    }
    if (bFailed || g_bInterrupted)
        return ExitCode(false);
    std::printf("medians over %d round(s):\n", nRounds);
    for (const TestCase& test : kCases) {
        Row median{};
        for (int i = 0; i < COLUMNS; ++i) {
            std::vector<double> column;
            for (const Row& row : rows[test.nTest])
                column.push_back(row[static_cast<size_t>(i)]);
            median[static_cast<size_t>(i)] = Median(column);
        }
        PrintRow("median", test, median);
    }
    std::printf("median of the whole sessions' counted share: %.5f\n", Median(sessionShares));
    return 0;
}
