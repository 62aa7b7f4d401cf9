// Download throughput of bandscope-node against iperf3 in reverse mode on
// the same link.
//
//   bench_node_download [seconds per run, default 3] [rounds, default 3]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), runs the node in the first and a minimal client in the
// second (session start, test 2 or 5, then counting what arrives), and runs
// iperf3 -R between the same two addresses in the same run: one TCP stream,
// and UDP with 1000-byte datagrams and no rate limit. Rates are taken at the
// receiver over a window that leaves out the first second. Everything it
// starts is ended by pid, and the namespaces are removed on the way out.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
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
#ifndef BANDSCOPE_NODE_BINARY
#define BANDSCOPE_NODE_BINARY "node/bandscope-node"
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int WARMUP_SECONDS = 1;
constexpr uint16_t NODE_PORT = 20000;
constexpr uint16_t IPERF_PORT = 5201;
std::atomic<bool> g_bInterrupted{false};

void OnInterrupt(int) {
    g_bInterrupted = true;
}

struct SLink {
    std::string strNsA, strNsB, strAddrA, strAddrB, strIfA, strIfB;
};

// Runs argv to its end (killed after the timeout); exit code, or -1.
int RunProcess(const std::vector<std::string>& args, int nTimeoutSeconds,
               std::string* pOutput = nullptr) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const auto& strArg : args) {
            argv.push_back(const_cast<char*>(strArg.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string strOutput;
    const auto deadline = Clock::now() + std::chrono::seconds(nTimeoutSeconds);
    bool bKilled = false;
    while (true) {
        pollfd pfd{fds[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) == 0) {
            if (Clock::now() >= deadline && !bKilled) {
                kill(pid, SIGKILL);
                bKilled = true;
            }
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        strOutput.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    if (pOutput != nullptr) {
        *pOutput = strOutput;
    }
    return bKilled || !WIFEXITED(nStatus) ? -1 : WEXITSTATUS(nStatus);
}

pid_t SpawnProcess(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
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
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool EnterNamespace(const std::string& strNs) {
    const int fd = open(("/var/run/netns/" + strNs).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool bOk = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return bOk;
}

sockaddr_in Address(const std::string& strAddress, uint16_t nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    inet_pton(AF_INET, strAddress.c_str(), &addr.sin_addr);
    return addr;
}

// The client side, on its own thread inside the second namespace: a session
// of one download test; bits per second received after the warm-up, or 0.
double MeasureNode(const SLink& link, bool bTcp, int nSeconds) {
    double dRate = 0;
    std::thread client([&] {
        if (!EnterNamespace(link.strNsB)) {
            return;
        }
        const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = Address(link.strAddrB, NODE_PORT);
        bind(udp, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        int buffer = 4 << 20;
        setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        const sockaddr_in node = Address(link.strAddrA, NODE_PORT);
        int tcp = -1;
        for (int nTry = 0; nTry < 50 && tcp < 0; ++nTry) {
            tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(tcp, reinterpret_cast<const sockaddr*>(&node), sizeof node) != 0) {
                close(tcp);
                tcp = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (tcp >= 0) {
            const uint16_t nTestSeconds = static_cast<uint16_t>(nSeconds + WARMUP_SECONDS);
            const unsigned char start[4] = {0x6C, static_cast<unsigned char>(nTestSeconds & 0xFF),
                                            static_cast<unsigned char>(nTestSeconds >> 8),
                                            static_cast<unsigned char>(bTcp ? 2 : 5)};
            send(tcp, start, sizeof start, MSG_NOSIGNAL);
            std::vector<char> data(131072); // as iperf3 reads
            const int fd = bTcp ? tcp : udp;
            const int nSize = bTcp ? 131072 : 2048;
            const auto begin = Clock::now();
            const auto counting = begin + std::chrono::seconds(WARMUP_SECONDS);
            const auto end = counting + std::chrono::seconds(nSeconds);
            uint64_t nBytes = 0;
            for (auto now = begin; now < end && !g_bInterrupted; now = Clock::now()) {
                pollfd pfd{fd, POLLIN, 0};
                if (poll(&pfd, 1, 50) != 1) {
                    continue;
                }
                const ssize_t n = recv(fd, data.data(), static_cast<size_t>(nSize), 0);
                if (n <= 0) {
                    break;
                }
                if (Clock::now() >= counting) {
                    nBytes += static_cast<uint64_t>(n);
                }
            }
            dRate = static_cast<double>(nBytes) * 8.0 / nSeconds;
            const char end0 = 0;
            send(tcp, &end0, 1, MSG_NOSIGNAL);
            close(tcp);
        }
        close(udp);
    });
    const pid_t node =
        SpawnProcess({"ip", "netns", "exec", link.strNsA, BANDSCOPE_NODE_BINARY, "--bind",
                      link.strAddrA, "--port", std::to_string(NODE_PORT), "--once"});
    client.join();
    EndProcess(node);
    return dRate;
}

double JsonNumber(const std::string& strText, const std::string& strSection,
                  const std::string& strKey) {
    const size_t nSection = strText.find("\"" + strSection + "\"");
    const size_t nKey =
        nSection == std::string::npos ? nSection : strText.find("\"" + strKey + "\"", nSection);
    const size_t nColon = nKey == std::string::npos ? nKey : strText.find(':', nKey);
    return nColon == std::string::npos ? 0 : std::strtod(strText.c_str() + nColon + 1, nullptr);
}

// iperf3 with its server in the first namespace sending (-R) to the second.
double MeasureIperf(const SLink& link, bool bTcp, int nSeconds) {
    const std::string strPort = std::to_string(IPERF_PORT);
    const pid_t server = SpawnProcess({"ip", "netns", "exec", link.strNsA, "iperf3", "-s", "-1",
                                       "-B", link.strAddrA, "-p", strPort});
    std::vector<std::string> args{"ip",          "netns",
                                  "exec",        link.strNsB,
                                  "iperf3",      "-c",
                                  link.strAddrA, "-B",
                                  link.strAddrB, "-p",
                                  strPort,       "-R",
                                  "-t",          std::to_string(nSeconds),
                                  "-O",          std::to_string(WARMUP_SECONDS),
                                  "-J"};
    if (!bTcp) {
        args.insert(args.end(), {"-u", "-b", "0", "-l", "1000"});
    }
    std::string strOutput;
    int nStatus = -1;
    for (int nTry = 0; nTry < 20 && nStatus != 0 && !g_bInterrupted; ++nTry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        nStatus = RunProcess(args, nSeconds + WARMUP_SECONDS + 20, &strOutput);
    }
    EndProcess(server);
    if (nStatus != 0) {
        std::fprintf(stderr, "iperf3 failed:\n%s\n", strOutput.c_str());
        return 0;
    }
    // For UDP the receiver's figure is its bytes over the run.
    return JsonNumber(strOutput, "sum_received", "bits_per_second") > 0
               ? JsonNumber(strOutput, "sum_received", "bits_per_second")
               : JsonNumber(strOutput, "sum", "bits_per_second");
}

} // namespace

int main(int argc, char** argv) {
    const int nSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int nRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_node_download needs root (network namespaces)\n");
        return 2;
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::signal(SIGPIPE, SIG_IGN);
    const std::string strNetns = std::string(BANDSCOPE_SOURCE_DIR) + "/scripts/netns.sh";
    const std::string strId = std::to_string(getpid() % 254 + 1);
    if (RunProcess({strNetns, "up", strId}, 30) != 0) {
        std::fprintf(stderr, "%s up %s failed\n", strNetns.c_str(), strId.c_str());
        return 1;
    }
    SLink link;
    std::string strNames;
    RunProcess({strNetns, "names", strId}, 10, &strNames);
    std::istringstream(strNames) >> link.strNsA >> link.strNsB >> link.strAddrA >> link.strAddrB >>
        link.strIfA >> link.strIfB;
    std::printf("veth %s (%s, node) -> %s (%s, client), %d s per run after %d s warm-up\n",
                link.strIfA.c_str(), link.strAddrA.c_str(), link.strIfB.c_str(),
                link.strAddrB.c_str(), nSeconds, WARMUP_SECONDS);
    double dSums[4] = {};
    bool bOk = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        double rates[4];
        // Who goes first alternates, so that a trend in the load favours neither.
        for (int nMode = 0; nMode < 2; ++nMode) {
            const bool bTcp = nMode == 0;
            if (nRound % 2 == 1) {
                rates[2 * nMode] = MeasureNode(link, bTcp, nSeconds);
                rates[2 * nMode + 1] = MeasureIperf(link, bTcp, nSeconds);
            } else {
                rates[2 * nMode + 1] = MeasureIperf(link, bTcp, nSeconds);
                rates[2 * nMode] = MeasureNode(link, bTcp, nSeconds);
            }
        }
        std::printf("round %d: node TCP %.0f Mbit/s, iperf3 -R TCP %.0f Mbit/s (ratio %.2f); "
                    "node UDP %.0f Mbit/s, iperf3 -R UDP %.0f Mbit/s (ratio %.2f)\n",
                    nRound, rates[0] / 1e6, rates[1] / 1e6, rates[0] / rates[1], rates[2] / 1e6,
                    rates[3] / 1e6, rates[2] / rates[3]);
        std::fflush(stdout);
        for (int i = 0; i < 4; ++i) {
            bOk = bOk && rates[i] > 0;
            dSums[i] += rates[i];
        }
    }
    if (bOk && !g_bInterrupted) {
        std::printf("ratio of the sums to iperf3: TCP %.2f   UDP %.2f\n", dSums[0] / dSums[1],
                    dSums[2] / dSums[3]);
    }
    RunProcess({strNetns, "down", strId}, 30);
    return bOk && !g_bInterrupted ? 0 : 1;
}
