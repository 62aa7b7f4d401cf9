// Upload throughput of CTrafficSender against iperf3 on the same link.
//
//   bench_upload [seconds per run, default 3] [rounds, default 6]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), sends from the first to a minimal sink in the second,
// and runs iperf3 between the same two addresses in the same run: one TCP
// stream, and UDP with 1000-byte datagrams and no rate limit. Rates are taken
// at the receiver (bytes the sink actually read; iperf3's receiver figure),
// over a window that leaves out the first second. Everything it starts is
// ended by pid, and the namespaces are removed on the way out.
#include "net/traffic_sender.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef BANDSCOPE_SOURCE_DIR
#define BANDSCOPE_SOURCE_DIR "."
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t NODE_PORT = 20000;
constexpr uint16_t IPERF_PORT = 5201;
constexpr int WARMUP_SECONDS = 1;

std::atomic<bool> g_bInterrupted{false};

void OnInterrupt(int) {
    g_bInterrupted = true;
}

void OnNodeBytes(const char*, int32_t) {}
void OnDatagram(const char*, int32_t, std::string, uint16_t) {}

struct SLink {
    int nId = 0;
    std::string strNsA, strNsB, strAddrA, strAddrB, strIfA, strIfB;
};

// Runs argv with stdout captured; kills it by pid if it outlives the timeout.
// The exit status is -1 when it had to be killed or could not start.
int RunProcess(const std::vector<std::string>& args, std::chrono::seconds timeout,
               std::string* pOutput = nullptr) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) < 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const auto& strArg : args) {
            argv.push_back(const_cast<char*>(strArg.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string strOutput;
    const auto deadline = Clock::now() + timeout;
    bool bKilled = false;
    for (;;) {
        const auto nLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (nLeft <= 0) {
            kill(pid, SIGKILL);
            bKilled = true;
            break;
        }
        pollfd pfd{pipeFds[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(nLeft)) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        strOutput.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    if (pOutput != nullptr) {
        *pOutput = strOutput;
    }
    return bKilled || !WIFEXITED(nStatus) ? -1 : WEXITSTATUS(nStatus);
}

// Starts argv in the background; its pid, or -1.
pid_t SpawnProcess(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        std::vector<char*> argv;
        for (const auto& strArg : args) {
            argv.push_back(const_cast<char*>(strArg.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void EndProcess(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

const std::string g_strNetns = std::string(BANDSCOPE_SOURCE_DIR) + "/scripts/netns.sh";

// The calling thread (only it) moves into the named namespace.
bool EnterNamespace(const std::string& strNs) {
    const int fd = open(("/var/run/netns/" + strNs).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool bOk = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return bOk;
}

// Bytes the kernel counted as received on the interface inside the namespace.
uint64_t InterfaceRxBytes(const SLink& link) {
    std::string strOutput;
    RunProcess({"ip", "netns", "exec", link.strNsB, "cat",
                "/sys/class/net/" + link.strIfB + "/statistics/rx_bytes"},
               std::chrono::seconds(5), &strOutput);
    return std::strtoull(strOutput.c_str(), nullptr, 10);
}

sockaddr_in Address(const std::string& strAddress, uint16_t nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    inet_pton(AF_INET, strAddress.c_str(), &addr.sin_addr);
    return addr;
}

// The receiving end: counts the payload bytes it reads, one datagram per
// read in UDP as iperf3's server does. Runs inside the second namespace.
class CSink {
public:
    CSink(const SLink& link, bool bTcp) : m_thread([this, link, bTcp] { Run(link, bTcp); }) {
        while (!m_bReady) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~CSink() {
        m_bStop = true;
        m_thread.join();
    }
    bool IsListening() const { return m_bListening; }
    uint64_t Bytes() const { return m_nBytes; }
    // Datagrams that were not exactly one block: the upload is malformed.
    uint64_t OddDatagrams() const { return m_nOddDatagrams; }

private:
    void Run(const SLink& link, bool bTcp) {
        int fd = -1;
        if (EnterNamespace(link.strNsB)) {
            fd = socket(AF_INET, (bTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
            const sockaddr_in addr = Address(link.strAddrB, NODE_PORT);
            const int nOne = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
            if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                (!bTcp || listen(fd, 1) == 0)) {
                m_bListening = true;
            }
        }
        m_bReady = true;
        if (!m_bListening) {
            close(fd);
            return;
        }
        int conn = bTcp ? -1 : fd;
        std::vector<char> buffer(bTcp ? 131072 : 2048); // as iperf3 reads
        while (!m_bStop) {
            pollfd pfd{conn >= 0 ? conn : fd, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0) {
                continue;
            }
            if (conn < 0) {
                conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            // Drain what is there without another poll; the 100 ms poll above
            // only keeps the stop check bounded.
            for (int i = 0; i < 1024 && !m_bStop; ++i) {
                const ssize_t n = recv(conn, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n <= 0) {
                    break;
                }
                m_nBytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                if (!bTcp && n != CTrafficSender::BLOCK_SIZE) {
                    ++m_nOddDatagrams;
                }
            }
        }
        if (conn >= 0 && conn != fd) {
            close(conn);
        }
        close(fd);
    }

    std::atomic<bool> m_bReady{false};
    std::atomic<bool> m_bListening{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nBytes{0};
    std::atomic<uint64_t> m_nOddDatagrams{0};
    std::thread m_thread;
};

struct SRate {
    double dBitsPerSecond = 0; // payload received
    // Payload read over the bytes the interface received (a segmentation
    // offload packet is counted there once, with one set of headers).
    double dLinkShare = 0;
    bool bOk = false;
};

void SleepUnlessInterrupted(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (!g_bInterrupted && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SRate MeasureOurs(const SLink& link, bool bTcp, int nSeconds) {
    SRate rate;
    CSink sink(link, bTcp);
    if (!sink.IsListening()) {
        std::fprintf(stderr, "sink: cannot listen on %s:%u\n", link.strAddrB.c_str(), NODE_PORT);
        return rate;
    }
    // The clients' sockets are made on a thread inside the first namespace
    // and stay there; the sender's own thread may live anywhere.
    CClient client(OnNodeBytes);
    CClientUDP clientUdp(OnDatagram);
    CTrafficSender sender(&client, &clientUdp);
    bool bOpened = false;
    std::thread([&] {
        if (!EnterNamespace(link.strNsA)) {
            return;
        }
        bOpened = bTcp ? client.Connect(link.strAddrB, NODE_PORT)
                       : clientUdp.Open(link.strAddrA, NODE_PORT);
    }).join();
    if (!bOpened) {
        std::fprintf(stderr, "client: %s\n",
                     (bTcp ? client.GetErrorText() : clientUdp.GetErrorText()).c_str());
        return rate;
    }
    sender.Start(bTcp, bTcp ? std::string() : link.strAddrB, bTcp ? 0 : NODE_PORT);
    SleepUnlessInterrupted(std::chrono::seconds(WARMUP_SECONDS));
    const uint64_t nLinkBefore = InterfaceRxBytes(link);
    const uint64_t nBefore = sink.Bytes();
    const auto start = Clock::now();
    SleepUnlessInterrupted(std::chrono::seconds(nSeconds));
    const uint64_t nAfter = sink.Bytes();
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t nLinkAfter = InterfaceRxBytes(link);
    sender.Stop(false);
    client.Close();
    clientUdp.Close();

    rate.dBitsPerSecond = 8.0 * static_cast<double>(nAfter - nBefore) / dSeconds;
    rate.dLinkShare = nLinkAfter > nLinkBefore ? static_cast<double>(nAfter - nBefore) /
                                                     static_cast<double>(nLinkAfter - nLinkBefore)
                                               : 0;
    rate.bOk = nAfter > nBefore && sink.OddDatagrams() == 0 && !g_bInterrupted;
    if (sink.OddDatagrams() != 0) {
        std::fprintf(stderr, "sink: %llu datagrams of another size than one block\n",
                     static_cast<unsigned long long>(sink.OddDatagrams()));
    }
    return rate;
}

// The number after "key": in the part of text that follows section.
double JsonNumber(const std::string& strText, const std::string& strSection,
                  const std::string& strKey) {
    const size_t nSection = strText.find("\"" + strSection + "\"");
    if (nSection == std::string::npos) {
        return -1;
    }
    const size_t nKey = strText.find("\"" + strKey + "\"", nSection);
    if (nKey == std::string::npos) {
        return -1;
    }
    const size_t nColon = strText.find(':', nKey);
    return nColon == std::string::npos ? -1 : std::strtod(strText.c_str() + nColon + 1, nullptr);
}

SRate MeasureIperf(const SLink& link, bool bTcp, int nSeconds) {
    SRate rate;
    const std::string strPort = std::to_string(IPERF_PORT);
    const pid_t server = SpawnProcess({"ip", "netns", "exec", link.strNsB, "iperf3", "-s", "-1",
                                       "-B", link.strAddrB, "-p", strPort});
    std::vector<std::string> args = {"ip",
                                     "netns",
                                     "exec",
                                     link.strNsA,
                                     "iperf3",
                                     "-c",
                                     link.strAddrB,
                                     "-B",
                                     link.strAddrA,
                                     "-p",
                                     strPort,
                                     "-t",
                                     std::to_string(nSeconds),
                                     "-O",
                                     std::to_string(WARMUP_SECONDS),
                                     "-J"};
    if (!bTcp) {
        args.insert(args.end(), {"-u", "-b", "0", "-l", "1000"});
    }
    std::string strOutput;
    const uint64_t nLinkBefore = InterfaceRxBytes(link);
    // The server needs a moment to listen: retry the client a few times.
    int nStatus = -1;
    for (int nTry = 0; nTry < 20 && nStatus != 0 && !g_bInterrupted; ++nTry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        nStatus =
            RunProcess(args, std::chrono::seconds(nSeconds + WARMUP_SECONDS + 20), &strOutput);
    }
    const uint64_t nLinkAfter = InterfaceRxBytes(link);
    EndProcess(server);
    if (nStatus != 0) {
        std::fprintf(stderr, "iperf3 failed:\n%s\n", strOutput.c_str());
        return rate;
    }
    rate.dBitsPerSecond = JsonNumber(strOutput, "sum_received", "bits_per_second");
    const double dBytes = JsonNumber(strOutput, "sum_received", "bytes");
    // The interface counts the omitted second too: compare over the whole run.
    const double dAllSeconds = nSeconds + WARMUP_SECONDS;
    if (nLinkAfter > nLinkBefore && dBytes > 0) {
        rate.dLinkShare =
            rate.dBitsPerSecond / 8.0 * dAllSeconds / static_cast<double>(nLinkAfter - nLinkBefore);
    }
    rate.bOk = rate.dBitsPerSecond > 0 && !g_bInterrupted;
    return rate;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

void PrintRate(const char* pszName, const SRate& rate) {
    std::printf("  %-28s %10.1f Mbit/s   (received/interface rx bytes %.3f)\n", pszName,
                rate.dBitsPerSecond / 1e6, rate.dLinkShare);
}

} // namespace

int main(int argc, char** argv) {
    const int nSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int nRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 6;
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_upload needs root (network namespaces)\n");
        return 2;
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::signal(SIGPIPE, SIG_IGN);

    SLink link;
    link.nId = static_cast<int>(getpid() % 254) + 1;
    const std::string strId = std::to_string(link.nId);
    if (RunProcess({g_strNetns, "up", strId}, std::chrono::seconds(30)) != 0) {
        std::fprintf(stderr, "%s up %s failed\n", g_strNetns.c_str(), strId.c_str());
        return 1;
    }
    std::string strNames;
    RunProcess({g_strNetns, "names", strId}, std::chrono::seconds(10), &strNames);
    std::istringstream(strNames) >> link.strNsA >> link.strNsB >> link.strAddrA >> link.strAddrB >>
        link.strIfA >> link.strIfB;

    std::printf("veth %s (%s) -> %s (%s), %d s per run after %d s warm-up, %d round(s)\n",
                link.strIfA.c_str(), link.strAddrA.c_str(), link.strIfB.c_str(),
                link.strAddrB.c_str(), nSeconds, WARMUP_SECONDS, nRounds);
    double dSums[4] = {0, 0, 0, 0}; // ours TCP, iperf3 TCP, ours UDP, iperf3 UDP
    std::vector<double> ratios[2];  // per round: TCP, UDP
    bool bOk = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        std::printf("round %d\n", nRound);
        // Who goes first alternates, so that a trend in the machine's load
        // does not favour one side.
        const bool bOursFirst = nRound % 2 == 1;
        SRate rates[4];
        for (int nMode = 0; nMode < 2; ++nMode) {
            const bool bTcp = nMode == 0;
            SRate& ours = rates[2 * nMode];
            SRate& reference = rates[2 * nMode + 1];
            if (bOursFirst) {
                ours = MeasureOurs(link, bTcp, nSeconds);
                reference = MeasureIperf(link, bTcp, nSeconds);
            } else {
                reference = MeasureIperf(link, bTcp, nSeconds);
                ours = MeasureOurs(link, bTcp, nSeconds);
            }
        }
        const char* names[4] = {"CTrafficSender TCP", "iperf3 TCP (1 stream)", "CTrafficSender UDP",
                                "iperf3 UDP (-b 0 -l 1000)"};
        for (int i = 0; i < 4; ++i) {
            PrintRate(names[i], rates[i]);
            bOk = bOk && rates[i].bOk;
            dSums[i] += rates[i].dBitsPerSecond;
        }
        if (bOk) {
            ratios[0].push_back(rates[0].dBitsPerSecond / rates[1].dBitsPerSecond);
            ratios[1].push_back(rates[2].dBitsPerSecond / rates[3].dBitsPerSecond);
            std::printf("  ratio TCP %.2f   UDP %.2f\n",
                        rates[0].dBitsPerSecond / rates[1].dBitsPerSecond,
                        rates[2].dBitsPerSecond / rates[3].dBitsPerSecond);
        }
        std::fflush(stdout);
    }
    if (bOk && !g_bInterrupted) {
        std::printf("ratio of the sums to iperf3: TCP %.2f   UDP %.2f\n", dSums[0] / dSums[1],
                    dSums[2] / dSums[3]);
        std::printf("median ratio to iperf3:      TCP %.2f   UDP %.2f\n", Median(ratios[0]),
                    Median(ratios[1]));
    }
    RunProcess({g_strNetns, "down", strId}, std::chrono::seconds(30));
    return bOk && !g_bInterrupted ? 0 : 1;
}
