// A whole Bandscope session against iperf3 on the same link, and Bandscope's
// own seconds against the kernel's.
//
//   bench_session [seconds per test, default 5] [rounds, default 2]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), runs bandscope-node in the first and `bandscope --run`
// with all six tests in the second, and iperf3's equivalent of each test
// between the same two addresses in the same run (TCP up, -R, --bidir, and
// the same with -u -b 0 -l 1000), the TCP ones also tuned as iperf3 goes
// fastest (-Z -l 256K -w 4M). Rounds alternate whether Bandscope or iperf3
// goes first.
//
// Rates and costs: both sides are measured the same way, from the kernel's
// counters of the second side's veth (IP bytes, headers included, as
// Bandscope counts), over Bandscope's seconds of a test (read whenever it
// prints one) or as many seconds of iperf3's run, the first second left out
// as warm-up; CPU time is the two programs' processes' own (Bandscope and the
// node, iperf3's client and server) over the same window, per gigabyte of the
// test's data. For UDP, what the receiving programs read: the payload that
// reached their interface, less the share their sockets dropped (the
// receiving namespace's UDP counters; with receive offload the kernel counts
// a batch read or dropped whole as one, so the share is of batches).
//
// Bandscope's own seconds: its meter starts its grid of seconds just before
// the client sends the session start, so the first packet with data from the
// client to the node port, captured on the second side's veth, marks where
// the grid starts (within the time that one send takes, which a busy machine
// can stretch to milliseconds). A real-time thread reads the veth's counters
// every millisecond; each of Bandscope's seconds is held against the
// counters' bytes between its own two boundaries, interpolated between the
// readings around them: per second (of 10 MB or more, as the printed whole
// kilobytes are exact enough then), per test, and over the whole session.
// As a cross-check it also gives how far Bandscope's seconds lag the
// interface's (the shift of the counters' grid that fits them best), and the
// single seconds on that grid too. Prints every test of
// every round, then the medians and ranges. Everything it starts is ended by pid, and the
// namespaces are removed on the way out.
#include "bench/bench_support.h"
#include "net/test_kinds.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"

#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <map>
#include <optional>
#include <pcap/pcap.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace bench_support;
using namespace testing_support;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr uint16_t NODE_PORT = 20000;
constexpr uint64_t ETHERNET_HEADER = 14; // in the veth's byte counts, not in an IP length
constexpr uint64_t UDP_HEADERS = 28;     // IPv4 and UDP, once per packet
// A second is judged on its own only when it carried this much: Bandscope
// prints whole kilobytes, a part in 10^4 of it.
constexpr double JUDGED_SECOND_BYTES = 10e6;
constexpr double SECOND_GOAL = 0.002; // a second within 0.2 % of the counters
constexpr auto PERIOD = std::chrono::seconds(1);
constexpr double NOT_MEASURED = std::numeric_limits<double>::quiet_NaN();

struct TestCase {
    int nTest;
    const char* pszName;
    bool bUp;
    bool bDown;
    Iperf3Run iperf;
};

// Each test, and iperf3's run of the same traffic.
const auto kCases = [] {
    std::array<TestCase, kTestCount> cases{};
    for (int nTest = 1; nTest <= kTestCount; ++nTest) {
        const STestKind& kind = TestKind(nTest);
        cases[static_cast<size_t>(nTest - 1)] = {nTest,
                                                 kind.pszName,
                                                 kind.bUpload,
                                                 kind.bDownload,
                                                 {.bTcp = kind.bTcp,
                                                  .bReverse = !kind.bUpload,
                                                  .bBidir = kind.bUpload && kind.bDownload}};
    }
    return cases;
}();

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
uint64_t TestBytes(const TestCase& test, const PairWindow& w) {
    return (test.bUp ? UpBytes(w) : 0) + (test.bDown ? DownBytes(w) : 0);
}

// KB/s (1 KB = 1000 bytes) of the test's data directions over a window.
double TestRate(const TestCase& test, const PairWindow& w) {
    return w.dSeconds > 0 ? static_cast<double>(TestBytes(test, w)) / w.dSeconds / 1000 : 0;
}

// CPU seconds per gigabyte of the test's data, from the window's own count
// (CPU microseconds of the measured programs).
double CpuPerGigabyte(const TestCase& test, const PairWindow& w) {
    const uint64_t nBytes = TestBytes(test, w);
    return nBytes > 0 ? static_cast<double>(w.nOwn) / 1e6 / (static_cast<double>(nBytes) / 1e9)
                      : NOT_MEASURED;
}

// UDP payload read by the receiving programs, KB/s, and the share of what
// reached their sockets that was dropped there: the node's for uploads,
// the client's for downloads.
struct UdpRead {
    double dKBps = 0;
    double dLossUp = NOT_MEASURED;
    double dLossDown = NOT_MEASURED;
};
UdpRead ReadOf(const TestCase& test, const PairWindow& w) {
    UdpRead read;
    double dRead = 0;
    // The payload that reached the side, by its interface's counters, and
    // the share of it that its sockets took in.
    const auto side = [&](const LinkCounters& link, const UdpCounters& udp, double& dLoss) {
        const double dPayload = static_cast<double>(IpBytes(link.nRxBytes, link.nRxPackets)) -
                                static_cast<double>(UDP_HEADERS * link.nRxPackets);
        const uint64_t nTaken = udp.nInDatagrams + udp.nRcvbufErrors;
        const double dShare =
            nTaken > 0 ? static_cast<double>(udp.nInDatagrams) / static_cast<double>(nTaken) : 0;
        dRead += dPayload * dShare;
        dLoss = 1 - dShare;
    };
    if (test.bUp)
        side(w.linkA, w.udpA, read.dLossUp);
    if (test.bDown)
        side(w.linkB, w.udpB, read.dLossDown);
    read.dKBps = w.dSeconds > 0 ? dRead / w.dSeconds / 1000 : 0;
    return read;
}

// Side B's interface counters read every millisecond with their times, by a
// thread of its own inside B's namespace.
class CounterTrace {
public:
    explicit CounterTrace(NetnsSide side) : m_side(std::move(side)) {}
    ~CounterTrace() { Stop(); }
    CounterTrace(const CounterTrace&) = delete;
    CounterTrace& operator=(const CounterTrace&) = delete;

    void Start() {
        Stop();
        m_readings.clear();
        m_bRun = true;
        m_thread = std::thread([this] { Run(); });
    }
    void Stop() {
        m_bRun = false;
        if (m_thread.joinable())
            m_thread.join();
    }

    // IP bytes side B had sent and received by the time, interpolated
    // between the two readings around it; nothing outside the readings.
    // Only once stopped.
    std::optional<std::pair<double, double>> At(SteadyClock::time_point time) const {
        const auto after = std::lower_bound(
            m_readings.begin(), m_readings.end(), time,
            [](const Reading& reading, SteadyClock::time_point t) { return reading.time < t; });
        if (after == m_readings.begin() || after == m_readings.end())
            return std::nullopt;
        const Reading& a = *(after - 1);
        const Reading& b = *after;
        const double dShare = std::chrono::duration<double>(time - a.time).count() /
                              std::chrono::duration<double>(b.time - a.time).count();
        return std::pair{a.dUp + (b.dUp - a.dUp) * dShare, a.dDown + (b.dDown - a.dDown) * dShare};
    }
    // How far apart, in milliseconds, the two readings around the time lie.
    double GapMs(SteadyClock::time_point time) const {
        const auto after = std::lower_bound(
            m_readings.begin(), m_readings.end(), time,
            [](const Reading& reading, SteadyClock::time_point t) { return reading.time < t; });
        if (after == m_readings.begin() || after == m_readings.end())
            return NOT_MEASURED;
        return std::chrono::duration<double, std::milli>(after->time - (after - 1)->time).count();
    }

private:
    struct Reading {
        SteadyClock::time_point time;
        double dUp = 0;
        double dDown = 0;
    };

    void Run() {
        if (!EnterNetns(m_side.strNamespace))
            return;
        // Ahead of the programs measured, so that a busy machine does not
        // spread the readings apart; it takes a few percent of a processor.
        sched_param param{};
        param.sched_priority = 10;
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
        while (m_bRun) {
            const auto before = SteadyClock::now();
            const std::optional<LinkCounters> counters = ReadLinkCountersHere(m_side.strInterface);
            const auto after = SteadyClock::now();
            if (counters)
                m_readings.push_back(
                    {before + (after - before) / 2,
                     static_cast<double>(IpBytes(counters->nTxBytes, counters->nTxPackets)),
                     static_cast<double>(IpBytes(counters->nRxBytes, counters->nRxPackets))});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    const NetnsSide m_side;
    std::vector<Reading> m_readings;
    std::atomic<bool> m_bRun{false};
    std::thread m_thread;
};

// When the first packet with data from side B to the port crossed B's veth:
// a capture of its own in B's namespace, without the kernel's hold-back
// (immediate mode), that ends with that packet.
class FirstDataWatch {
public:
    FirstDataWatch(const NetnsSide& side, uint16_t nPort)
        : m_thread([this, side, nPort] { Run(side, nPort); }) {
        // Bandscope may start only once the capture runs.
        for (int i = 0; i < 5000 && !m_bReady; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~FirstDataWatch() { Result(); }
    FirstDataWatch(const FirstDataWatch&) = delete;
    FirstDataWatch& operator=(const FirstDataWatch&) = delete;

    // Ends the watch; the packet's time on the steady clock, if it came.
    std::optional<SteadyClock::time_point> Result() {
        m_bRun = false;
        if (m_thread.joinable())
            m_thread.join();
        return m_stamp;
    }

private:
    void Run(const NetnsSide& side, uint16_t nPort) {
        pcap_t* pHandle = nullptr;
        if (EnterNetns(side.strNamespace)) {
            char szError[PCAP_ERRBUF_SIZE];
            pHandle = pcap_create(side.strInterface.c_str(), szError);
        }
        bpf_program filter{};
        const std::string strFilter = "tcp dst port " + std::to_string(nPort) + " and src host " +
                                      side.strAddress + " and (tcp[tcpflags] & tcp-push) != 0";
        char szError[PCAP_ERRBUF_SIZE];
        if (pHandle == nullptr || pcap_set_snaplen(pHandle, 128) != 0 ||
            pcap_set_immediate_mode(pHandle, 1) != 0 ||
            pcap_set_tstamp_precision(pHandle, PCAP_TSTAMP_PRECISION_NANO) != 0 ||
            pcap_activate(pHandle) < 0 ||
            pcap_compile(pHandle, &filter, strFilter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
            pcap_setfilter(pHandle, &filter) != 0 || pcap_setnonblock(pHandle, 1, szError) != 0) {
            std::fprintf(stderr, "the session start cannot be captured: %s\n",
                         pHandle != nullptr ? pcap_geterr(pHandle) : "no capture");
            if (pHandle != nullptr)
                pcap_close(pHandle);
            m_bReady = true;
            return;
        }
        pcap_freecode(&filter);
        m_bReady = true;
        pollfd wait{pcap_get_selectable_fd(pHandle), POLLIN, 0};
        while (m_bRun && !m_stamp) {
            pcap_pkthdr* pHeader = nullptr;
            const u_char* pData = nullptr;
            if (pcap_next_ex(pHandle, &pHeader, &pData) == 1) {
                const auto real = std::chrono::system_clock::now();
                const auto steady = SteadyClock::now();
                const auto stamp = std::chrono::system_clock::time_point(
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::seconds(pHeader->ts.tv_sec) +
                        std::chrono::nanoseconds(pHeader->ts.tv_usec)));
                m_stamp = steady - std::chrono::duration_cast<SteadyClock::duration>(real - stamp);
            } else {
                ::poll(&wait, 1, 10);
            }
        }
        pcap_close(pHandle);
    }

    std::atomic<bool> m_bRun{true};
    std::atomic<bool> m_bReady{false};
    std::optional<SteadyClock::time_point> m_stamp; // the watch's own until joined
    std::thread m_thread;                           // last: it starts once the rest exists
};

// What one of Bandscope's printed seconds said, and the counters when it came.
struct Second {
    int nTest = 0; // 0: between tests
    int nDownload = 0;
    int nUpload = 0;
    PairCounters counters;
};

// One test of Bandscope's session, as measured.
struct SessionTest {
    double dKBps = 0;                    // by the counters, without the first second
    double dCpu = NOT_MEASURED;          // CPU s per GB, Bandscope and the node
    double dCountedShare = NOT_MEASURED; // its bytes over the counters', between its boundaries
    std::vector<double> secondErrors;    // per judged second: its bytes over the counters' - 1
    UdpRead read;
};

struct SessionRun {
    std::map<int, SessionTest> tests;
    double dCountedShare = NOT_MEASURED; // over every second of the session
    double dLagMs = NOT_MEASURED;        // behind the interface, by the best fit
    double dGapMs = 0; // the farthest apart the counters were read around a judged boundary
    std::vector<double> fittedErrors;  // the judged seconds' errors on the grid that fits best
    std::vector<double> fittedCounted; // the tests' counted shares on that grid
    uint64_t nDropped = 0;             // by the capture
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

// The counters' bytes in the test's directions between two times.
std::optional<double> CountersBetween(const CounterTrace& trace, const TestCase* pTest,
                                      SteadyClock::time_point from, SteadyClock::time_point to) {
    const auto a = trace.At(from);
    const auto b = trace.At(to);
    if (!a || !b)
        return std::nullopt;
    const bool bUp = pTest == nullptr || pTest->bUp;
    const bool bDown = pTest == nullptr || pTest->bDown;
    return (bUp ? b->first - a->first : 0) + (bDown ? b->second - a->second : 0);
}

// Holds Bandscope's seconds against the counters between their boundaries on
// the grid from origin; line i (from 1) is the second that ends at origin + i
// seconds. False when the lines do not follow that grid.
bool JudgeSeconds(const std::vector<Second>& seconds, const CounterTrace& trace,
                  SteadyClock::time_point origin, SessionRun& run) {
    for (size_t i = 1; i < seconds.size(); ++i) {
        // A second is printed once its end is past; a line far later means a
        // second went missing or two were merged.
        const auto late = seconds[i].counters.time - (origin + PERIOD * static_cast<int>(i));
        if (late < -std::chrono::milliseconds(5) || late > std::chrono::milliseconds(900)) {
            std::fprintf(stderr,
                         "second %zu came %.1f ms after its end: no grid from the "
                         "session start\n",
                         i, std::chrono::duration<double, std::milli>(late).count());
            return false;
        }
    }
    const auto boundary = [&](size_t i) { return origin + PERIOD * static_cast<int>(i); };
    double dSessionCounted = 0;
    for (size_t i = 1; i < seconds.size(); ++i)
        dSessionCounted += 1000.0 * (seconds[i].nDownload + seconds[i].nUpload);
    if (const auto session =
            CountersBetween(trace, nullptr, boundary(0), boundary(seconds.size() - 1)))
        run.dCountedShare = dSessionCounted / *session;

    for (const TestCase& test : kCases) {
        SessionTest& result = run.tests[test.nTest];
        double dCounted = 0;
        double dMeasured = 0;
        bool bAll = true;
        for (size_t i = 1; i < seconds.size(); ++i) {
            if (seconds[i].nTest != test.nTest)
                continue;
            const double dOurs = 1000.0 * ((test.bUp ? seconds[i].nUpload : 0) +
                                           (test.bDown ? seconds[i].nDownload : 0));
            const auto theirs = CountersBetween(trace, &test, boundary(i - 1), boundary(i));
            if (!theirs) {
                bAll = false;
                continue;
            }
            dCounted += dOurs;
            dMeasured += *theirs;
            if (*theirs >= JUDGED_SECOND_BYTES) {
                run.dGapMs =
                    std::max({run.dGapMs, trace.GapMs(boundary(i - 1)), trace.GapMs(boundary(i))});
                result.secondErrors.push_back(dOurs / *theirs - 1);
            }
        }
        if (bAll && dMeasured > 0)
            result.dCountedShare = dCounted / dMeasured;
    }

    // The lag, in tenths of a millisecond, by which the counters' seconds
    // fit the judged ones best: near 0 when Bandscope's seconds are the
    // interface's.
    double dBest = std::numeric_limits<double>::max();
    for (int nTenths = -300; nTenths <= 300; ++nTenths) {
        const auto shift = std::chrono::duration_cast<SteadyClock::duration>(
            std::chrono::microseconds(-100 * nTenths));
        double dCost = 0;
        std::vector<double> errors;
        std::map<int, std::pair<double, double>> sums; // per test: ours, the counters'
        for (size_t i = 1; i < seconds.size(); ++i) {
            const TestCase* pTest = nullptr;
            for (const TestCase& test : kCases)
                if (test.nTest == seconds[i].nTest)
                    pTest = &test;
            if (pTest == nullptr)
                continue;
            const double dOurs = 1000.0 * ((pTest->bUp ? seconds[i].nUpload : 0) +
                                           (pTest->bDown ? seconds[i].nDownload : 0));
            const auto theirs =
                CountersBetween(trace, pTest, boundary(i - 1) + shift, boundary(i) + shift);
            if (theirs) {
                sums[pTest->nTest].first += dOurs;
                sums[pTest->nTest].second += *theirs;
            }
            if (theirs && *theirs >= JUDGED_SECOND_BYTES) {
                errors.push_back(dOurs / *theirs - 1);
                dCost += errors.back() * errors.back();
            }
        }
        if (!errors.empty() && dCost < dBest) {
            dBest = dCost;
            run.dLagMs = nTenths / 10.0;
            run.fittedErrors = errors;
            run.fittedCounted = {};
            for (const auto& [nTest, sum] : sums)
                run.fittedCounted.push_back(sum.first / sum.second);
        }
    }
    return true;
}

// Runs the node and `bandscope --run`, reading the link's counters and both
// programs' CPU time at every second Bandscope prints.
SessionRun RunSession(const NetnsPair& netns, int nSeconds, CounterTrace& trace) {
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
    trace.Start();
    FirstDataWatch sessionStart(netns.B(), NODE_PORT);
    const pid_t pid = SpawnProcess(
        {"ip", "netns", "exec", netns.B().strNamespace, BANDSCOPE_BINARY_DIR "/app/bandscope",
         "--run", "--node", netns.A().strAddress, "--client", netns.B().strAddress, "--port",
         std::to_string(NODE_PORT), "--seconds", std::to_string(nSeconds)},
        fds[1], OUTPUT_INHERITED);
    ::close(fds[1]);
    const OwnCount cpu = [&] {
        return ProcessCpuMicroseconds(pid) + ProcessCpuMicroseconds(node.Pid());
    };
    std::vector<Second> seconds;
    std::string strOut;
    std::string strPending;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(6 * nSeconds + 60);
    while (pid > 0 && SteadyClock::now() < deadline) {
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
            const std::optional<PairCounters> counters = ReadPairCounters(netns, cpu);
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
    trace.Stop();
    const std::optional<SteadyClock::time_point> origin = sessionStart.Result();
    if (code.value_or(-1) != 0 || g_bInterrupted) {
        ReportFailure(("bandscope --run failed:\n" + strOut).c_str());
        return run;
    }
    if (const size_t nAt = strOut.find(" packets, "); nAt != std::string::npos)
        run.nDropped = std::strtoull(strOut.c_str() + nAt + 10, nullptr, 10);
    if (seconds.size() < 2 || seconds.front().nTest != 0) {
        std::fprintf(stderr, "too few seconds printed:\n%s\n", strOut.c_str());
        return run;
    }

    for (const TestCase& test : kCases) {
        // The seconds of this test.
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
        const PairWindow steady = Difference(seconds[nFirst].counters, seconds[nLast].counters);
        SessionTest& result = run.tests[test.nTest];
        result.dKBps = TestRate(test, steady);
        result.dCpu = CpuPerGigabyte(test, steady);
        result.read = ReadOf(test, steady);
    }
    if (!origin)
        std::fprintf(stderr, "the session start was not captured: no seconds judged\n");
    else
        JudgeSeconds(seconds, trace, *origin, run);
    run.bOk = true;
    return run;
}

// One test of one round, or the medians of the rounds' columns.
enum Column {
    BANDSCOPE,
    IPERF,
    RATIO,
    TUNED,
    TUNED_RATIO,
    COUNTED,
    SECOND_MEDIAN, // of the seconds' errors, absolute
    SECOND_WORST,
    CPU,
    IPERF_CPU,
    TUNED_CPU,
    READ,
    IPERF_READ,
    READ_RATIO,
    LOSS_UP,   // at the node, or iperf3's server
    LOSS_DOWN, // at the client
    IPERF_LOSS_UP,
    IPERF_LOSS_DOWN,
    DROPPED,
    COLUMNS
};
using Row = std::array<double, COLUMNS>;

void PrintNumber(const char* pszFormat, double dValue, int nWidth) {
    if (std::isnan(dValue))
        std::printf(" %*s", nWidth, "-");
    else
        std::printf(pszFormat, dValue);
}

void PrintRow(const char* pszWhat, const TestCase& test, const Row& row) {
    std::printf("%-7s %d %-19s", pszWhat, test.nTest, test.pszName);
    PrintNumber(" %9.0f", row[BANDSCOPE], 9);
    PrintNumber(" %9.0f", row[IPERF], 9);
    PrintNumber(" %6.3f", row[RATIO], 6);
    PrintNumber(" %9.0f", row[TUNED], 9);
    PrintNumber(" %6.3f", row[TUNED_RATIO], 6);
    PrintNumber(" %8.5f", row[COUNTED], 8);
    PrintNumber(" %6.3f", 100 * row[SECOND_MEDIAN], 6);
    PrintNumber(" %6.3f", 100 * row[SECOND_WORST], 6);
    PrintNumber(" %5.2f", row[CPU], 5);
    PrintNumber(" %5.2f", row[IPERF_CPU], 5);
    PrintNumber(" %5.2f", row[TUNED_CPU], 5);
    PrintNumber(" %7.0f", row[DROPPED], 7);
    if (!test.iperf.bTcp) {
        std::printf("   read");
        PrintNumber(" %9.0f", row[READ], 9);
        PrintNumber(" %9.0f", row[IPERF_READ], 9);
        PrintNumber(" %6.3f", row[READ_RATIO], 6);
        std::printf("   loss up");
        PrintNumber(" %5.2f %%", 100 * row[LOSS_UP], 7);
        PrintNumber(" %5.2f %%", 100 * row[IPERF_LOSS_UP], 7);
        std::printf("   down");
        PrintNumber(" %5.2f %%", 100 * row[LOSS_DOWN], 7);
        PrintNumber(" %5.2f %%", 100 * row[IPERF_LOSS_DOWN], 7);
    }
    std::printf("\n");
}

// The median and the range of a column over the rounds, leaving out what was
// not measured.
struct Spread {
    double dMedian = NOT_MEASURED;
    double dLow = NOT_MEASURED;
    double dHigh = NOT_MEASURED;
};
Spread SpreadOf(const std::vector<Row>& rows, int nColumn) {
    std::vector<double> column;
    for (const Row& row : rows)
        if (!std::isnan(row[static_cast<size_t>(nColumn)]))
            column.push_back(row[static_cast<size_t>(nColumn)]);
    if (column.empty())
        return {};
    return {Median(column), *std::min_element(column.begin(), column.end()),
            *std::max_element(column.begin(), column.end())};
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_session", {5, 2});
    if (nSeconds < 2) {
        std::fprintf(stderr, "bench_session: tests need at least 2 seconds (one is warm-up)\n");
        return 2;
    }
    const CBenchPair bench("bench_session", std::to_string(nSeconds) + " s per test, " +
                                                std::to_string(nRounds) + " round(s)");
    if (!bench.IsUp())
        return bench.ExitCode();
    const NetnsPair& netns = bench.Netns();
    std::printf(
        "node on %s, bandscope --run and iperf3's client on %s, over veth; %d s a test, the\n"
        "first left out of the rates. KB/s of IP bytes (headers included) by the kernel's\n"
        "counters; 'tuned' is iperf3 -Z -l 256K -w 4M; 'counted' is Bandscope's bytes over the\n"
        "counters' between its seconds' own boundaries; 'sec' the median and worst of its\n"
        "seconds (of 10 MB or more) against the counters', in %%; 'cpu' CPU seconds per GB of\n"
        "the test's data, both programs (Bandscope and the node, iperf3 default and tuned);\n"
        "'dropped' the capture's drops in the session; UDP 'read' is payload KB/s the\n"
        "receiving programs read, 'loss' the share their sockets dropped, up (the node,\n"
        "iperf3's server) and down (the client), Bandscope then iperf3.\n",
        netns.A().strAddress.c_str(), netns.B().strAddress.c_str(), nSeconds);
    std::printf("%-7s %-21s %9s %9s %6s %9s %6s %8s %6s %6s %5s %5s %5s %7s\n", "round", "test",
                "bandscope", "iperf3", "ratio", "tuned", "ratio", "counted", "sec50", "secmax",
                "cpu", "iperf", "tuned", "dropped");

    CounterTrace trace(netns.B());
    std::map<int, std::vector<Row>> rows;
    std::vector<double> sessionShares;
    std::vector<double> lags;
    std::vector<double> fittedErrors;
    std::map<int, std::vector<double>> secondErrors;
    bool bFailed = false;
    for (int nRound = 1; nRound <= nRounds && !g_bInterrupted && !bFailed; ++nRound) {
        // Who goes first alternates, so that a drift of the machine falls on both.
        SessionRun session;
        std::map<int, std::optional<PairWindow>> iperf;
        std::map<int, std::optional<PairWindow>> tuned;
        // A loaded machine can start iperf3 so late that its run ends before
        // the window does: such a run is tried again, up to three times.
        const auto MeasureIperf3 = [&](const Iperf3Run& run) {
            std::optional<PairWindow> window;
            for (int nTry = 0; nTry < 3 && !window && !g_bInterrupted; ++nTry)
                window = MeasureIperf3Window(netns, netns.A(), netns.B(), run, 1, nSeconds - 1);
            return window;
        };
        const auto RunIperfAll = [&] {
            for (const TestCase& test : kCases) {
                // The counter trace runs as it does for Bandscope: the same load.
                trace.Start();
                iperf[test.nTest] = MeasureIperf3(test.iperf);
                if (test.iperf.bTcp) {
                    Iperf3Run run = test.iperf;
                    run.bTuned = true;
                    tuned[test.nTest] = MeasureIperf3(run);
                }
                trace.Stop();
            }
        };
        if (nRound % 2 == 1) {
            session = RunSession(netns, nSeconds, trace);
            RunIperfAll();
        } else {
            RunIperfAll();
            session = RunSession(netns, nSeconds, trace);
        }
        if (!session.bOk || g_bInterrupted) {
            bFailed = true;
            break;
        }
        std::printf("round %d: the whole session counted %.5f of the counters' bytes; its seconds "
                    "lag the interface's by %+.1f ms; %" PRIu64
                    " packets dropped by the capture; counters read at most %.1f ms apart around "
                    "the seconds' ends\n",
                    nRound, session.dCountedShare, session.dLagMs, session.nDropped,
                    session.dGapMs);
        if (!session.fittedCounted.empty())
            std::printf(
                "round %d: on the grid that fits best the tests counted %.5f to %.5f\n", nRound,
                *std::min_element(session.fittedCounted.begin(), session.fittedCounted.end()),
                *std::max_element(session.fittedCounted.begin(), session.fittedCounted.end()));
        if (!std::isnan(session.dCountedShare))
            sessionShares.push_back(session.dCountedShare);
        if (!std::isnan(session.dLagMs))
            lags.push_back(session.dLagMs);
        fittedErrors.insert(fittedErrors.end(), session.fittedErrors.begin(),
                            session.fittedErrors.end());
        for (const TestCase& test : kCases) {
            if (!iperf[test.nTest] || (test.iperf.bTcp && !tuned[test.nTest])) {
                ReportFailure(("iperf3 test " + std::to_string(test.nTest) + " failed").c_str());
                bFailed = true;
                break;
            }
            const SessionTest& ours = session.tests[test.nTest];
            const PairWindow& theirs = *iperf[test.nTest];
            const UdpRead theirRead = ReadOf(test, theirs);
            const double dIperf = TestRate(test, theirs);
            const double dTuned =
                test.iperf.bTcp ? TestRate(test, *tuned[test.nTest]) : NOT_MEASURED;
            std::vector<double> errors;
            for (const double dError : ours.secondErrors) {
                errors.push_back(std::fabs(dError));
                secondErrors[test.nTest].push_back(dError);
            }
            Row row{};
            row[BANDSCOPE] = ours.dKBps;
            row[IPERF] = dIperf;
            row[RATIO] = dIperf > 0 ? ours.dKBps / dIperf : NOT_MEASURED;
            row[TUNED] = dTuned;
            row[TUNED_RATIO] = dTuned > 0 ? ours.dKBps / dTuned : NOT_MEASURED;
            row[COUNTED] = ours.dCountedShare;
            row[SECOND_MEDIAN] = errors.empty() ? NOT_MEASURED : Median(errors);
            row[SECOND_WORST] =
                errors.empty() ? NOT_MEASURED : *std::max_element(errors.begin(), errors.end());
            row[CPU] = ours.dCpu;
            row[IPERF_CPU] = CpuPerGigabyte(test, theirs);
            row[TUNED_CPU] =
                test.iperf.bTcp ? CpuPerGigabyte(test, *tuned[test.nTest]) : NOT_MEASURED;
            row[READ] = ours.read.dKBps;
            row[IPERF_READ] = theirRead.dKBps;
            row[READ_RATIO] =
                theirRead.dKBps > 0 ? ours.read.dKBps / theirRead.dKBps : NOT_MEASURED;
            row[LOSS_UP] = ours.read.dLossUp;
            row[LOSS_DOWN] = ours.read.dLossDown;
            row[IPERF_LOSS_UP] = theirRead.dLossUp;
            row[IPERF_LOSS_DOWN] = theirRead.dLossDown;
            row[DROPPED] = static_cast<double>(session.nDropped);
            rows[test.nTest].push_back(row);
            PrintRow(("round " + std::to_string(nRound)).c_str(), test, row);
        }
        std::fflush(stdout);
    }
    if (bFailed || g_bInterrupted)
        return ExitCode(false);
    std::printf("medians over %d round(s), then their ranges:\n", nRounds);
    for (const TestCase& test : kCases) {
        Row median{};
        for (int i = 0; i < COLUMNS; ++i)
            median[static_cast<size_t>(i)] = SpreadOf(rows[test.nTest], i).dMedian;
        PrintRow("median", test, median);
    }
    for (const TestCase& test : kCases) {
        std::printf("range   %d %-19s", test.nTest, test.pszName);
        const auto range = [&](const char* pszName, int nColumn, double dScale, int nDecimals) {
            const Spread spread = SpreadOf(rows[test.nTest], nColumn);
            if (!std::isnan(spread.dMedian))
                std::printf("  %s %.*f-%.*f", pszName, nDecimals, dScale * spread.dLow, nDecimals,
                            dScale * spread.dHigh);
        };
        range("ratio", RATIO, 1, 3);
        range("tuned", TUNED_RATIO, 1, 3);
        range("counted", COUNTED, 1, 5);
        range("secmax %", SECOND_WORST, 100, 3);
        range("cpu", CPU, 1, 2);
        range("iperf", IPERF_CPU, 1, 2);
        range("tuned", TUNED_CPU, 1, 2);
        if (!test.iperf.bTcp) {
            range("read ratio", READ_RATIO, 1, 3);
            range("loss up %", LOSS_UP, 100, 2);
            range("loss down %", LOSS_DOWN, 100, 2);
            range("iperf3 up %", IPERF_LOSS_UP, 100, 2);
            range("down %", IPERF_LOSS_DOWN, 100, 2);
        }
        std::printf("\n");
    }
    const auto summary = [](const char* pszGrid, const std::vector<double>& errors) {
        size_t nWithin = 0;
        double dWorst = 0;
        for (const double dError : errors) {
            nWithin += std::fabs(dError) <= SECOND_GOAL ? 1 : 0;
            dWorst = std::max(dWorst, std::fabs(dError));
        }
        std::printf("seconds of 10 MB or more judged %s: %zu, within 0.2 %% of the counters: %zu, "
                    "worst %.3f %%\n",
                    pszGrid, errors.size(), nWithin, 100 * dWorst);
    };
    std::vector<double> errors;
    for (const auto& [nTest, testErrors] : secondErrors)
        errors.insert(errors.end(), testErrors.begin(), testErrors.end());
    if (!sessionShares.empty())
        std::printf("median of the whole sessions' counted share: %.5f; of their seconds' lag: "
                    "%+.1f ms\n",
                    Median(sessionShares), Median(lags));
    summary("from the session start", errors);
    // A busy machine can send the session start some milliseconds after the
    // meter's grid began: on the grid that fits best, what remains is
    // Bandscope's own.
    summary("on the grid that fits best", fittedErrors);
    return 0;
}
