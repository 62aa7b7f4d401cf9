// Does anything grow or fail over long use? One bandscope-node serves, in
// turn: many clients at once, round after round; Start/Stop cycles of the
// real window (offscreen, in this process); headless sessions in a row.
//
//   bench_soak [window cycles, default 1000] [headless sessions, default 1000]
//              [clients at once, default 64] [rounds of clients, default 3]
//   (0 leaves a part out)
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh) and starts the node in the first with its default
// options (every address, port 20000, 64 sessions, 4 per address).
//  - clients: as many clients at once, on the first namespace's loopback,
//    from 16 addresses (127.0.0.10 to .25) in turn, each a session of one
//    test of 3 s (TCP upload, download or both, in turn), by the protocol
//    itself, so that the node serves them all at the same moment.
//  - window: the window's thread moves into the second namespace; each cycle
//    clicks Start with the six tests of 1 s each, lets the session run
//    0 to 1050 ms (in steps of 150 ms, cycle by cycle) and clicks Stop.
//  - headless: `bandscope --run --seconds 1 --tests 1` in the second
//    namespace, one after the other.
// For each part it prints the descriptors, threads and resident memory of
// the node and of the client program before, at the highest while it ran,
// and after (the window: this process, after a first cycle; the headless
// runs: each run's highest, the first run's, the highest of all and the last
// run's), the sessions that failed counted by their cause (a message box's
// caption and text, an exit code and what the run wrote on stderr, what the
// protocol did), how the node's sessions ended, and its log lines that tell
// of refusals or faults. Everything it starts is ended by pid, and the
// namespaces are removed on the way out, Ctrl+C included.
#include "app/main_dlg.h"
#include "bench/bench_support.h"
#include "net/test_kinds.h"
#include "res/resource.h"
#include "tests/support/address.h"
#include "tests/support/loopback.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench_support;
using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t NODE_PORT = 20000;
constexpr int CLIENT_ADDRESSES = 16;
constexpr int CLIENT_TEST_SECONDS = 3;
constexpr auto HEADLESS_TIMEOUT = 60s; // a run of one 1-second test
constexpr auto SETTLE_TIMEOUT = 5s;    // for threads and descriptors to go after a part

// One process's use at one moment; -1 where it could not be read.
struct Usage {
    long nDescriptors = -1;
    long nThreads = -1;
    long nRssKb = -1;

    void Raise(const Usage& other) {
        nDescriptors = std::max(nDescriptors, other.nDescriptors);
        nThreads = std::max(nThreads, other.nThreads);
        nRssKb = std::max(nRssKb, other.nRssKb);
    }
};

Usage ReadUsage(pid_t pid) {
    const std::string strDir = "/proc/" + std::to_string(pid);
    std::ifstream status(strDir + "/status");
    Usage usage;
    for (std::string strLine; std::getline(status, strLine);) {
        if (strLine.rfind("VmRSS:", 0) == 0) {
            usage.nRssKb = std::atol(strLine.c_str() + 6);
        }
    }
    // A process that has ended (a zombie) has no memory and no descriptors.
    if (usage.nRssKb >= 0) {
        usage.nDescriptors = static_cast<long>(CountEntries((strDir + "/fd").c_str()));
        usage.nThreads = static_cast<long>(CountEntries((strDir + "/task").c_str()));
    }
    return usage;
}

// Samples the node and the client program every 20 ms on a thread of its
// own and keeps the highest of each since it was last asked.
class CUsageWatch {
public:
    explicit CUsageWatch(pid_t nNode) : m_nNode(nNode), m_thread([this] { Run(); }) {}
    ~CUsageWatch() {
        m_bStop = true;
        m_thread.join();
    }
    CUsageWatch(const CUsageWatch&) = delete;
    CUsageWatch& operator=(const CUsageWatch&) = delete;

    // Watches this client program from now on (0: none).
    void Watch(pid_t nClient) {
        std::lock_guard lock(m_mtxPeaks);
        m_nClient = nClient;
    }
    // A process's use now, never while the watch reads (its own reads hold
    // descriptors of this process for a moment).
    Usage Read(pid_t pid) {
        std::lock_guard lock(m_mtxRead);
        return ReadUsage(pid);
    }
    // The highest of the node and of the client since the last call.
    std::pair<Usage, Usage> TakePeaks() {
        std::lock_guard lock(m_mtxPeaks);
        return {std::exchange(m_node, {}), std::exchange(m_client, {})};
    }

private:
    void Run() {
        while (!m_bStop) {
            pid_t nClient = 0;
            {
                std::lock_guard lock(m_mtxPeaks);
                nClient = m_nClient;
            }
            Usage node, client;
            {
                std::lock_guard lock(m_mtxRead);
                node = ReadUsage(m_nNode);
                client = nClient > 0 ? ReadUsage(nClient) : Usage{};
            }
            {
                std::lock_guard lock(m_mtxPeaks);
                m_node.Raise(node);
                if (nClient == m_nClient) {
                    m_client.Raise(client);
                }
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    const pid_t m_nNode;
    std::mutex m_mtxRead;  // held while /proc is read
    std::mutex m_mtxPeaks; // guards the peaks and the client's pid
    pid_t m_nClient = 0;
    Usage m_node;
    Usage m_client;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread; // last: it starts once the rest exists
};

// A line of the table: one program in one part.
struct Row {
    std::string strPart;
    std::string strProgram;
    Usage before, during, after;
};

// Sessions that failed, by cause.
using Failures = std::map<std::string, int>;

// The node for the whole run, in the first namespace, and what its log
// said since the last look.
class CSoakNode {
public:
    bool Start(const NetnsPair& netns) {
        return m_node.Start({"--port", std::to_string(NODE_PORT)}, netns.A().strNamespace) &&
               !m_node.WaitReady().empty();
    }
    pid_t Pid() const { return m_node.Pid(); }
    std::string Log() const { return m_node.Log(); }
    // What the node logged since the last call, counted: how its sessions
    // ended (by the reason it gives), and the lines that tell of a refusal
    // or a fault (by their kind, with the first of each).
    std::map<std::string, int> TakeLogSummary() {
        static const char* const kTroubleKinds[] = {
            "refused",          "failed",     "connection lost",         "idle for",
            "did not take in",  "no message", "without a session",       "node's own address",
            "download stopped", "cannot",     "before the session start"};
        const std::string strLog = m_node.Log();
        std::map<std::string, int> troubles;
        size_t nStart = std::min(m_nRead, strLog.size());
        for (size_t nEnd; (nEnd = strLog.find('\n', nStart)) != std::string::npos;
             nStart = nEnd + 1) {
            const std::string strLine = strLog.substr(nStart, nEnd - nStart);
            const size_t nEnded = strLine.find("session ended (");
            if (nEnded != std::string::npos) {
                const size_t nFrom = nEnded + 15;
                ++troubles["session ended: " +
                           strLine.substr(nFrom, strLine.find(')', nFrom) - nFrom)];
                continue;
            }
            for (const char* pszKind : kTroubleKinds) {
                if (strLine.find(pszKind) != std::string::npos) {
                    const std::string strKey = std::string("\"") + pszKind + "\"";
                    if (troubles.find(strKey) == troubles.end()) {
                        m_examples[strKey] = strLine;
                    }
                    ++troubles[strKey];
                    break;
                }
            }
        }
        m_nRead = nStart;
        return troubles;
    }
    // The first line of each kind of trouble.
    const std::string& Example(const std::string& strKind) { return m_examples[strKind]; }

private:
    NodeProcess m_node;
    size_t m_nRead = 0;
    std::map<std::string, std::string> m_examples;
};

// Waits until the process's use is back where it was (descriptors and
// threads), or the time is up; its use then.
Usage SettledUsage(CUsageWatch& watch, pid_t pid, const Usage& before,
                   const std::function<void()>& fnWait) {
    const auto deadline = Clock::now() + SETTLE_TIMEOUT;
    Usage now = watch.Read(pid);
    while (Clock::now() < deadline && !g_bInterrupted &&
           (now.nDescriptors != before.nDescriptors || now.nThreads != before.nThreads)) {
        fnWait();
        now = watch.Read(pid);
    }
    return now;
}

void SleepABit() {
    std::this_thread::sleep_for(50ms);
}

void Progress(const char* pszPart, int nDone, int nAll, const Failures& failures,
              Clock::time_point start) {
    if (nDone % std::max(1, nAll / 10) != 0 && nDone != nAll) {
        return;
    }
    int nFailed = 0;
    for (const auto& [strCause, nCount] : failures) {
        nFailed += nCount;
    }
    std::printf("  %s: %d/%d, %d failed, %.0f s\n", pszPart, nDone, nAll, nFailed,
                std::chrono::duration<double>(Clock::now() - start).count());
    std::fflush(stdout);
}

// The window: Start/Stop cycles of CMainDlg in this process, its thread
// (and every worker it starts) in the second namespace.
void RunWindowCycles(const NetnsPair& netns, CSoakNode& node, CUsageWatch& watch, int nCycles,
                     std::vector<Row>& rows, Failures& failures) {
    const int nHome = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (nHome < 0 || !EnterNetns(netns.B().strNamespace)) {
        ++failures["cannot enter the client's namespace"];
        if (nHome >= 0) {
            ::close(nHome);
        }
        return;
    }
    {
        CMainDlg dlg;
        dlg.Create();
        // Qt's drawing threads hold descriptors: made before the counts and kept.
        QThreadPool::globalInstance()->setExpiryTimeout(-1);
        dlg.show();
        const auto Pump = [](std::chrono::milliseconds duration) {
            const auto end = Clock::now() + duration;
            do {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            } while (Clock::now() < end);
        };
        Pump(500ms);
        int nMessages = 0;
        dlg.GetPrompts().SetMessageHandler(
            [&](const std::string& strCaption, const std::string& strText) {
                ++nMessages;
                std::string strCause = strCaption + ": " + strText;
                std::replace(strCause.begin(), strCause.end(), '\n', ' ');
                ++failures[strCause];
            });
        CNetDlg& net = dlg.GetNetDlg();
        CTestDlg& page = dlg.GetTestDlg();
        net.GetDlgItemAs<QLineEdit>(IDC_NODE_IP)
            ->setText(QString::fromStdString(netns.A().strAddress));
        net.GetDlgItemAs<QLineEdit>(IDC_NODE_PORT)->setText(QString::number(NODE_PORT));
        net.GetDlgItemAs<QComboBox>(IDC_CLIENT_IP)
            ->setEditText(QString::fromStdString(netns.B().strAddress));
        for (int nTest = 1; nTest <= kTestCount; ++nTest) {
            page.CheckDlgButton(IDC_TEST_BASE + nTest, 1);
        }
        page.GetDlgItemAs<QLineEdit>(IDC_SECONDS)->setText("1");
        auto* pButton = net.GetDlgItemAs<QPushButton>(IDC_START_STOP);
        const auto Button = [&] { return net.GetDlgItemText(IDC_START_STOP); };
        const auto Cycle = [&](int nCycle) {
            const int nMessagesBefore = nMessages;
            QTest::mouseClick(pButton, Qt::LeftButton);
            if (Button() != "Stop") {
                // A message box has said why, unless none came.
                if (nMessages == nMessagesBefore) {
                    ++failures["Start did not open a session, and said nothing"];
                }
                return;
            }
            Pump(std::chrono::milliseconds(150 * (nCycle % 8)));
            if (Button() != "Stop") {
                ++failures["the session ended before Stop"];
                return;
            }
            QTest::mouseClick(pButton, Qt::LeftButton);
            if (Button() != "Start") {
                ++failures["Stop left the button at \"" + Button() + "\""];
            }
        };
        // A first cycle makes what lasts (the capture's and Qt's own); the
        // meter lingers a moment after a stop.
        Cycle(0);
        Pump(1s);
        const pid_t nSelf = ::getpid();
        Row window{"window", "bandscope (this process)", watch.Read(nSelf), {}, {}};
        Row server{"window", "bandscope-node", watch.Read(node.Pid()), {}, {}};
        watch.Watch(nSelf);
        watch.TakePeaks();
        const auto start = Clock::now();
        for (int nCycle = 1; nCycle <= nCycles && !g_bInterrupted; ++nCycle) {
            Cycle(nCycle);
            Progress("window cycles", nCycle, nCycles, failures, start);
        }
        const auto [nodePeak, selfPeak] = watch.TakePeaks();
        watch.Watch(0);
        window.during = selfPeak;
        server.during = nodePeak;
        window.after = SettledUsage(watch, nSelf, window.before, [&] { Pump(50ms); });
        server.after = SettledUsage(watch, node.Pid(), server.before, SleepABit);
        rows.push_back(window);
        rows.push_back(server);
    }
    ::setns(nHome, CLONE_NEWNET);
    ::close(nHome);
}

// The first two lines of what a run wrote on stderr, as one.
std::string Cause(int nCode, const std::string& strErrors) {
    std::string strText;
    size_t nStart = 0;
    for (int nLine = 0; nLine < 2 && nStart < strErrors.size(); ++nLine) {
        const size_t nEnd = std::min(strErrors.find('\n', nStart), strErrors.size());
        strText += (nLine > 0 ? " " : "") + strErrors.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
    }
    return "exit " + std::to_string(nCode) + (strText.empty() ? "" : ": " + strText);
}

// The headless runs, one after the other.
void RunHeadlessSessions(const NetnsPair& netns, CSoakNode& node, CUsageWatch& watch, int nSessions,
                         std::vector<Row>& rows, Failures& failures) {
    char szErrors[] = "/tmp/bench-soak-stderr-XXXXXX";
    const int nErrors = ::mkstemp(szErrors);
    if (nErrors < 0) {
        ++failures["no file for the runs' errors"];
        return;
    }
    Row runs{"headless", "bandscope --run (each run's highest: first, highest, last)", {}, {}, {}};
    Row server{"headless", "bandscope-node", watch.Read(node.Pid()), {}, {}};
    watch.TakePeaks();
    const auto start = Clock::now();
    for (int nSession = 1; nSession <= nSessions && !g_bInterrupted; ++nSession) {
        ::ftruncate(nErrors, 0);
        ::lseek(nErrors, 0, SEEK_SET);
        const pid_t pid = SpawnProcess(
            {"ip", "netns", "exec", netns.B().strNamespace, BANDSCOPE_BINARY_DIR "/app/bandscope",
             "--run", "--node", netns.A().strAddress, "--client", netns.B().strAddress, "--port",
             std::to_string(NODE_PORT), "--seconds", "1", "--tests", "1"},
            OUTPUT_DISCARDED, nErrors);
        if (pid <= 0) {
            ++failures["cannot start bandscope"];
            continue;
        }
        watch.Watch(pid); // ip execs the program: the pid stays
        std::optional<int> code = WaitProcess(pid, HEADLESS_TIMEOUT);
        if (!code) {
            KillProcess(pid);
        }
        const Usage peak = watch.TakePeaks().second;
        watch.Watch(0);
        if (nSession == 1) {
            runs.before = peak;
        }
        runs.during.Raise(peak);
        runs.after = peak;
        if (!code) {
            ++failures["still running after 60 s: killed"];
        } else if (*code != 0) {
            std::ifstream file(szErrors);
            std::stringstream text;
            text << file.rdbuf();
            ++failures[Cause(*code, text.str())];
        }
        Progress("headless sessions", nSession, nSessions, failures, start);
    }
    ::close(nErrors);
    ::unlink(szErrors);
    // The node's highest over the part, the last run's moments included.
    std::this_thread::sleep_for(100ms);
    server.during = watch.TakePeaks().first;
    server.after = SettledUsage(watch, node.Pid(), server.before, SleepABit);
    rows.push_back(runs);
    rows.push_back(server);
}

// One client of the many: a session of one test by the protocol itself.
// Connects, waits for go, runs the test for CLIENT_TEST_SECONDS and ends the
// session; empty when everything went as it should, else what did not.
class CClientSession {
public:
    CClientSession(std::string strFrom, int nTest)
        : m_strFrom(std::move(strFrom)), m_nTest(nTest) {}
    ~CClientSession() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CClientSession(const CClientSession&) = delete;
    CClientSession& operator=(const CClientSession&) = delete;

    std::string Connect() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in from = Ipv4Address(m_strFrom, 0);
        const sockaddr_in to = Ipv4Address("127.0.0.1", NODE_PORT);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
            ::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            return std::string("connect: ") + std::strerror(errno);
        }
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        return {};
    }

    // nInTest counts the clients inside their test at this moment, nMostInTest the most.
    std::string Run(std::atomic<int>& nInTest, std::atomic<int>& nMostInTest) {
        const unsigned char start[4] = {0x6C, CLIENT_TEST_SECONDS, 0,
                                        static_cast<unsigned char>(m_nTest)};
        if (!SendAll(start, sizeof start, Clock::now() + 5s)) {
            return "the session start could not be sent";
        }
        unsigned char command = 0;
        const int nGot = ReadSome(&command, 1, Clock::now() + 10s);
        if (nGot <= 0) {
            return nGot == 0 ? "closed before the test's command" : "no command within 10 s";
        }
        if (command != m_nTest) {
            return command == 0 ? "refused (the end command before the test's)"
                                : "command " + std::to_string(command) + " for test " +
                                      std::to_string(m_nTest);
        }
        const int nNow = ++nInTest;
        for (int nMost = nMostInTest;
             nNow > nMost && !nMostInTest.compare_exchange_weak(nMost, nNow);) {
        }
        const bool bUp = m_nTest != 2;
        const bool bDown = m_nTest != 1;
        std::vector<unsigned char> block(1000);
        std::mt19937 random(static_cast<uint32_t>(m_nTest));
        for (unsigned char& c : block) {
            c = static_cast<unsigned char>(random() % 255);
        }
        uint64_t nUp = 0;
        uint64_t nDown = 0;
        size_t nOffset = 0; // of the block being sent
        std::string strError;
        const auto end = Clock::now() + std::chrono::seconds(CLIENT_TEST_SECONDS);
        // After the time, the block being sent is finished: the node reads
        // messages only between blocks.
        while (strError.empty() && (Clock::now() < end || nOffset != 0) &&
               Clock::now() < end + 5s) {
            pollfd pfd{m_fd, static_cast<short>(POLLIN | (bUp ? POLLOUT : 0)), 0};
            if (::poll(&pfd, 1, 100) <= 0) {
                continue;
            }
            if (pfd.revents & POLLIN) {
                strError = Drain(nDown);
            }
            if (strError.empty() && bUp && (pfd.revents & POLLOUT)) {
                const ssize_t n =
                    ::send(m_fd, block.data() + nOffset, block.size() - nOffset, MSG_NOSIGNAL);
                if (n > 0) {
                    nUp += static_cast<uint64_t>(n);
                    nOffset = (nOffset + static_cast<size_t>(n)) % block.size();
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    strError = std::string("send: ") + std::strerror(errno);
                }
            }
        }
        --nInTest;
        if (!strError.empty()) {
            return "during the test: " + strError;
        }
        if ((bUp && nUp == 0) || (bDown && nDown == 0)) {
            return "nothing moved in the test";
        }
        const unsigned char endCommand = 0;
        if (!SendAll(&endCommand, 1, Clock::now() + 5s)) {
            return "the end could not be sent";
        }
        // The node closes the session; what it still sends is read.
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) {
                continue;
            }
            strError = Drain(nDown);
            if (strError == "closed") {
                return {};
            }
            if (!strError.empty()) {
                return "after the end: " + strError;
            }
        }
        return "not closed within 5 s of the end";
    }

private:
    // Reads what is there; "closed" at the end of the stream.
    std::string Drain(uint64_t& nBytes) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                nBytes += static_cast<uint64_t>(n);
                continue;
            }
            if (n == 0) {
                return "closed";
            }
            return errno == EAGAIN || errno == EINTR
                       ? ""
                       : std::string("receive: ") + std::strerror(errno);
        }
    }

    bool SendAll(const unsigned char* pData, size_t nLength, Clock::time_point deadline) {
        while (nLength > 0 && Clock::now() < deadline) {
            const ssize_t n = ::send(m_fd, pData, nLength, MSG_NOSIGNAL);
            if (n > 0) {
                pData += n;
                nLength -= static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else {
                pollfd pfd{m_fd, POLLOUT, 0};
                ::poll(&pfd, 1, 100);
            }
        }
        return nLength == 0;
    }

    // Up to nLength bytes; 0 when the stream ended, -1 when none came in time.
    int ReadSome(unsigned char* pData, size_t nLength, Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            const ssize_t n = ::recv(m_fd, pData, nLength, 0);
            if (n >= 0) {
                return static_cast<int>(n);
            }
            if (errno != EAGAIN && errno != EINTR) {
                return 0;
            }
            pollfd pfd{m_fd, POLLIN, 0};
            ::poll(&pfd, 1, 100);
        }
        return -1;
    }

    const std::string m_strFrom;
    const int m_nTest;
    int m_fd = -1;
};

// The clients at once, each on a thread of its own in the node's namespace;
// nothing stays behind in the node once they have gone. Round after round,
// so that what the node keeps from the first (memory its allocator holds on
// to) can be told from what grows.
void RunClients(const NetnsPair& netns, CSoakNode& node, CUsageWatch& watch, int nClients,
                int nRounds, std::vector<Row>& rows, Failures& failures) {
    const pid_t nSelf = ::getpid();
    Row clients{"clients", "the clients (this process)", watch.Read(nSelf), {}, {}};
    Row server{"clients", "bandscope-node", watch.Read(node.Pid()), {}, {}};
    watch.Watch(nSelf);
    watch.TakePeaks();
    std::mutex mtxFailures;
    for (int nRound = 1; nRound <= nRounds && !g_bInterrupted; ++nRound) {
        std::atomic<int> nConnected{0};
        std::atomic<bool> bGo{false};
        std::atomic<int> nInTest{0};
        std::atomic<int> nMostInTest{0};
        {
            std::vector<std::unique_ptr<NetnsThread>> threads;
            for (int i = 0; i < nClients; ++i) {
                const std::string strFrom = "127.0.0." + std::to_string(10 + i % CLIENT_ADDRESSES);
                threads.push_back(
                    std::make_unique<NetnsThread>(netns.A().strNamespace, [&, strFrom, i] {
                        CClientSession session(strFrom, 1 + i % 3);
                        std::string strFailure = session.Connect();
                        ++nConnected;
                        while (strFailure.empty() && !bGo && !g_bInterrupted) {
                            std::this_thread::sleep_for(1ms);
                        }
                        if (strFailure.empty() && !g_bInterrupted) {
                            strFailure = session.Run(nInTest, nMostInTest);
                        }
                        if (!strFailure.empty()) {
                            std::lock_guard lock(mtxFailures);
                            ++failures[strFailure];
                        }
                    }));
            }
            // Every connection made (or failed) before any session starts.
            const auto deadline = Clock::now() + 30s;
            while (nConnected < nClients && Clock::now() < deadline && !g_bInterrupted) {
                std::this_thread::sleep_for(10ms);
            }
            bGo = true;
        }
        const Usage settled = SettledUsage(watch, node.Pid(), server.before, SleepABit);
        std::printf("  clients round %d/%d: %d in their test at once at the most; the node "
                    "after: %ld descriptors, %ld threads, %ld kB\n",
                    nRound, nRounds, nMostInTest.load(), settled.nDescriptors, settled.nThreads,
                    settled.nRssKb);
        std::fflush(stdout);
    }
    const auto [nodePeak, selfPeak] = watch.TakePeaks();
    watch.Watch(0);
    clients.during = selfPeak;
    server.during = nodePeak;
    clients.after = SettledUsage(watch, nSelf, clients.before, SleepABit);
    server.after = SettledUsage(watch, node.Pid(), server.before, SleepABit);
    rows.push_back(clients);
    rows.push_back(server);
}

void PrintTable(const std::vector<Row>& rows) {
    std::printf("\n%-9s %-58s %20s %20s %26s\n", "", "", "descriptors", "threads",
                "resident memory (kB)");
    std::printf("%-9s %-58s %6s %6s %6s %6s %6s %6s %8s %8s %8s\n", "part", "program", "before",
                "most", "after", "before", "most", "after", "before", "most", "after");
    for (const Row& row : rows) {
        std::printf("%-9s %-58s %6ld %6ld %6ld %6ld %6ld %6ld %8ld %8ld %8ld\n",
                    row.strPart.c_str(), row.strProgram.c_str(), row.before.nDescriptors,
                    row.during.nDescriptors, row.after.nDescriptors, row.before.nThreads,
                    row.during.nThreads, row.after.nThreads, row.before.nRssKb, row.during.nRssKb,
                    row.after.nRssKb);
    }
}

void PrintCauses(const char* pszPart, int nRuns, const Failures& failures,
                 const std::map<std::string, int>& troubles, CSoakNode& node) {
    int nFailed = 0;
    for (const auto& [strCause, nCount] : failures) {
        nFailed += nCount;
    }
    std::printf("%s: %d run(s), %d failed\n", pszPart, nRuns, nFailed);
    for (const auto& [strCause, nCount] : failures) {
        std::printf("  %5d  %s\n", nCount, strCause.c_str());
    }
    for (const auto& [strKind, nCount] : troubles) {
        std::printf("  node log: %5d  %s\n", nCount, strKind.c_str());
        if (strKind[0] == '"') {
            std::printf("                e.g. %s\n", node.Example(strKind).c_str());
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<NumberArgument> args{{"window cycles", 0, 100000, 1000},
                                     {"headless sessions", 0, 100000, 1000},
                                     {"clients at once", 0, 1000, 64},
                                     {"rounds of clients", 1, 1000, 3}};
    ReadNumbers(argc, argv, "bench_soak", args);
    const int nCycles = args[0].nValue;
    const int nSessions = args[1].nValue;
    const int nClients = args[2].nValue;
    const int nClientRounds = args[3].nValue;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int nQtArgc = 1;
    QApplication application(nQtArgc, argv);
    const CBenchPair bench("bench_soak", std::to_string(nCycles) + " window cycles, " +
                                             std::to_string(nSessions) + " headless sessions, " +
                                             std::to_string(nClientRounds) + " x " +
                                             std::to_string(nClients) +
                                             " clients at once; the node on A, the clients on B "
                                             "(the many clients on A's loopback)");
    if (!bench.IsUp()) {
        return bench.ExitCode();
    }
    const NetnsPair& netns = bench.Netns();
    CSoakNode node;
    if (!node.Start(netns)) {
        std::fprintf(stderr, "the node did not start: %s\n", node.Log().c_str());
        return 1;
    }
    CUsageWatch watch(node.Pid());
    std::this_thread::sleep_for(500ms); // the node's threads start after its ready line
    const Usage nodeAtStart = watch.Read(node.Pid());
    std::vector<Row> rows;
    struct Part {
        const char* pszName;
        int nRuns;
        std::function<void(Failures&)> fnRun;
        Failures failures = {};
        std::map<std::string, int> troubles = {};
    };
    Part parts[] = {
        {"clients at once", nClients * nClientRounds,
         [&](Failures& failures) {
             RunClients(netns, node, watch, nClients, nClientRounds, rows, failures);
         }},
        {"window cycles", nCycles,
         [&](Failures& failures) { RunWindowCycles(netns, node, watch, nCycles, rows, failures); }},
        {"headless sessions", nSessions, [&](Failures& failures) {
             RunHeadlessSessions(netns, node, watch, nSessions, rows, failures);
         }}};
    bool bOk = true;
    for (Part& part : parts) {
        if (part.nRuns == 0 || g_bInterrupted) {
            continue;
        }
        node.TakeLogSummary();
        part.fnRun(part.failures);
        part.troubles = node.TakeLogSummary();
        bOk = bOk && part.failures.empty();
    }
    const Usage nodeAtEnd = watch.Read(node.Pid());
    PrintTable(rows);
    std::printf("%-9s %-58s %6ld %6s %6ld %6ld %6s %6ld %8ld %8s %8ld\n", "all", "bandscope-node",
                nodeAtStart.nDescriptors, "", nodeAtEnd.nDescriptors, nodeAtStart.nThreads, "",
                nodeAtEnd.nThreads, nodeAtStart.nRssKb, "", nodeAtEnd.nRssKb);
    std::printf("\n");
    for (const Part& part : parts) {
        if (part.nRuns > 0) {
            PrintCauses(part.pszName, part.nRuns, part.failures, part.troubles, node);
        }
    }
    return ExitCode(bOk);
}
