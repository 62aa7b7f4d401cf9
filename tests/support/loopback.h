// Small real endpoints on loopback for the integration tests: a TCP listener
// on an ephemeral port, a node that answers as scripted, and a wait that
// polls a condition with a deadline.
#pragma once

#include "tests/support/address.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

// Polls pred until it holds or the timeout passes; true when it held.
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A bound on how promptly something happens: as given in a plain build, and
// ten times that under a sanitizer, which slows every call several times over.
constexpr std::chrono::milliseconds Promptly(std::chrono::milliseconds bound) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return bound * 10;
#else
    return bound;
#endif
}

// Entries of a directory of /proc, such as /proc/self/fd (descriptors) or
// /proc/self/task (threads).
inline size_t CountEntries(const char* pszDirectory) {
    size_t nEntries = 0;
    if (DIR* pDir = opendir(pszDirectory)) {
        while (const dirent* pEntry = readdir(pDir)) {
            nEntries += pEntry->d_name[0] != '.';
        }
        closedir(pDir);
    }
    return nEntries;
}

// Threads of process pid (0: this one) that run at nice value nNice.
inline size_t ThreadsAtNice(pid_t pid, int nNice) {
    const std::string strTasks = "/proc/" + (pid == 0 ? "self" : std::to_string(pid)) + "/task/";
    size_t nThreads = 0;
    DIR* pDir = opendir(strTasks.c_str());
    for (const dirent* pEntry; pDir != nullptr && (pEntry = readdir(pDir)) != nullptr;) {
        std::ifstream file(strTasks + pEntry->d_name + "/stat"); // none for "." and ".."
        const std::string strStat{std::istreambuf_iterator<char>(file), {}};
        // The nice value is the 17th field after the thread's name.
        const size_t nNameEnd = strStat.rfind(") ");
        int nValue = 0;
        nThreads += nNameEnd != std::string::npos &&
                    std::sscanf(strStat.c_str() + nNameEnd + 2,
                                "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %d",
                                &nValue) == 1 &&
                    nValue == nNice;
    }
    if (pDir != nullptr) {
        closedir(pDir);
    }
    return nThreads;
}

inline sockaddr_in LoopbackAddress(uint16_t nPort) {
    return Ipv4Address("127.0.0.1", nPort);
}

inline uint16_t LocalPort(int fd) {
    sockaddr_in addr{};
    socklen_t nLen = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
    return ntohs(addr.sin_port);
}

// A socket of the given type bound to 127.0.0.1 on an ephemeral port.
inline int BoundLoopbackSocket(int nType) {
    const int fd = socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = LoopbackAddress(0);
    bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return fd;
}

// A UDP socket bound to the address and port (0: any free one), or -1.
inline int UdpSocketOn(const char* pszAddress, uint16_t nPort = 0) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Ipv4Address(pszAddress, nPort);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A free TCP port on loopback that nothing listens on (connects are refused).
inline uint16_t UnusedPort() {
    const int fd = BoundLoopbackSocket(SOCK_STREAM);
    const uint16_t nPort = LocalPort(fd);
    close(fd);
    return nPort;
}

// A TCP listener on an ephemeral port, on 127.0.0.1 or the given address
// (of the calling thread's network namespace).
class TcpListener {
public:
    explicit TcpListener(const char* pszAddress = "127.0.0.1", int nBacklog = 16)
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in addr = Ipv4Address(pszAddress, 0);
        bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        listen(m_fd, nBacklog);
    }
    ~TcpListener() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    uint16_t Port() const { return LocalPort(m_fd); }

    // The next connection, or -1 when none comes within the timeout.
    int Accept(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) {
            return -1;
        }
        return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int m_fd;
};

// Reads exactly n bytes, or fewer if the peer closes or the timeout passes.
inline std::string ReadBytes(int fd, size_t n,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (data.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) != 1) {
            break;
        }
        char buf[4096];
        const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - data.size()), 0);
        if (r <= 0) {
            break;
        }
        data.append(buf, static_cast<size_t>(r));
    }
    return data;
}

// A node of the test's own, for answers the real one never gives. Each
// connection in turn gets the byte nFirst at once; after the session start
// and a request, nAnswer (-2: nothing is read); with bHold its input is
// read until the client closes; then it is closed. A byte of -1 is not
// sent. The listener lives in the namespace of the thread making the object.
class ScriptedNode {
public:
    ScriptedNode(const char* pszAddress, int nFirst, int nAnswer, bool bHold)
        : m_listener(pszAddress, 64), m_thread([=, this] {
              while (!m_bStop) {
                  const int n = m_listener.Accept(std::chrono::milliseconds(50));
                  const auto Send = [n](int c) {
                      const char b = static_cast<char>(c);
                      return c < 0 || ::send(n, &b, 1, MSG_NOSIGNAL) == 1;
                  };
                  if (n >= 0 && Send(nFirst) &&
                      (nAnswer == -2 || (ReadBytes(n, 4).size() == 4 && Send(nAnswer))) && bHold)
                      ReadBytes(n, SIZE_MAX, std::chrono::seconds(30));
                  ::close(n);
              }
          }) {}
    ~ScriptedNode() {
        m_bStop = true;
        m_thread.join();
    }
    uint16_t Port() const { return m_listener.Port(); }

private:
    TcpListener m_listener;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread; // last: it starts once the rest exists
};

} // namespace testing_support
