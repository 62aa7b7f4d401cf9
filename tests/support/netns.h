// Two network namespaces joined by a veth pair, made by scripts/netns.sh, and
// code run inside either of them: for capture tests and benchmarks. Needs
// root. Header only and free of GoogleTest, so benchmarks use it too.
//
//   NetnsPair netns;                     // up; down again in the destructor
//   if (!netns.IsUp()) ... netns.GetError()
//   RunInNetns(netns.A().strNamespace, [&] { /* sockets, captures made here live in A */ });
//   NetnsThread server(netns.B().strNamespace, [&] { /* runs in B until it returns */ });
//   ReadLinkCounters(netns.A().strNamespace, netns.A().strInterface);
//
// setns changes only the calling thread, so code runs in a namespace on a
// thread of its own. Sockets and captures keep the namespace they were made
// in, whichever thread uses them later; threads started there inherit it.
// The link is quiet (no IPv6, no ARP): its counters hold only test traffic.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

// Why namespaces cannot be made here; empty when they can.
inline std::string NetnsUnavailableReason() {
    if (::geteuid() != 0) {
        return "needs root: creating network namespaces and capturing packets are privileged";
    }
    return {};
}

// Moves the calling thread into the named namespace (/run/netns/NAME).
inline bool EnterNetns(const std::string& strNamespace) {
    const int fd = ::open(("/run/netns/" + strNamespace).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool bEntered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return bEntered;
}

// A thread that enters a namespace and runs fn there. Joined by Join or by
// the destructor, so a failing test never leaves it running.
class NetnsThread {
public:
    NetnsThread(const std::string& strNamespace, std::function<void()> fn)
        : m_thread([this, strNamespace, fn = std::move(fn)] {
              m_bEntered = EnterNetns(strNamespace);
              if (m_bEntered) {
                  fn();
              }
          }) {}
    ~NetnsThread() { Join(); }
    NetnsThread(const NetnsThread&) = delete;
    NetnsThread& operator=(const NetnsThread&) = delete;

    // Waits for fn; false when the namespace could not be entered (fn never ran).
    bool Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_bEntered;
    }

private:
    std::atomic<bool> m_bEntered{false};
    std::thread m_thread; // last: it starts once the flag exists
};

// Runs fn inside the namespace and waits for it; false when it could not enter.
inline bool RunInNetns(const std::string& strNamespace, const std::function<void()>& fn) {
    NetnsThread thread(strNamespace, fn);
    return thread.Join();
}

struct LinkCounters {
    uint64_t nRxBytes = 0;
    uint64_t nRxPackets = 0;
    uint64_t nTxBytes = 0;
    uint64_t nTxPackets = 0;
};

// The kernel's counters of an interface, as the calling thread's namespace
// sees them. Bytes are whole frames: a veth counts 14 bytes of Ethernet
// header in each.
inline std::optional<LinkCounters> ReadLinkCountersHere(const std::string& strInterface) {
    // /proc/net follows the process's namespace; the thread's own is here.
    std::ifstream file("/proc/thread-self/net/dev");
    std::string strLine;
    while (std::getline(file, strLine)) {
        const size_t nColon = strLine.find(':');
        if (nColon == std::string::npos) {
            continue;
        }
        std::string strName = strLine.substr(0, nColon);
        strName.erase(0, strName.find_first_not_of(' '));
        if (strName != strInterface) {
            continue;
        }
        // rx: bytes packets errs drop fifo frame compressed multicast; tx: bytes packets ...
        std::istringstream fields(strLine.substr(nColon + 1));
        uint64_t nValues[10] = {};
        for (uint64_t& nValue : nValues) {
            fields >> nValue;
        }
        if (fields) {
            return LinkCounters{nValues[0], nValues[1], nValues[8], nValues[9]};
        }
    }
    return std::nullopt;
}

// The same, as the named namespace sees them.
inline std::optional<LinkCounters> ReadLinkCounters(const std::string& strNamespace,
                                                    const std::string& strInterface) {
    std::optional<LinkCounters> counters;
    RunInNetns(strNamespace, [&] { counters = ReadLinkCountersHere(strInterface); });
    return counters;
}

struct NetnsSide {
    std::string strNamespace;
    std::string strAddress;
    std::string strInterface;
};

// The pair bs<ID>a (10.199.ID.1) and bs<ID>b (10.199.ID.2). The ID comes from
// the process id; a lock file held for the pair's life keeps concurrent
// users (tests run in parallel, benchmarks) on different IDs.
class NetnsPair {
public:
    explicit NetnsPair(const std::string& strScript = DefaultScript()) : m_strScript(strScript) {
        const int nFirst = static_cast<int>(::getpid() % 254);
        for (int i = 0; i < 254 && m_nId == 0; ++i) {
            const int nId = (nFirst + i) % 254 + 1;
            const std::string strLock = "/tmp/bandscope-netns-" + std::to_string(nId) + ".lock";
            const int fd = ::open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                m_nId = nId;
                m_fdLock = fd;
            } else if (fd >= 0) {
                ::close(fd);
            }
        }
        if (m_nId == 0) {
            m_strError = "every namespace ID 1..254 is in use";
            return;
        }
        const std::string strId = std::to_string(m_nId);
        m_a = {"bs" + strId + "a", "10.199." + strId + ".1", "bs" + strId + "a0"};
        m_b = {"bs" + strId + "b", "10.199." + strId + ".2", "bs" + strId + "b0"};
        m_bUp = RunScript("up", m_strError);
    }

    // Removes both namespaces, also after a failed or partial "up".
    ~NetnsPair() {
        if (m_nId != 0) {
            std::string strIgnored;
            RunScript("down", strIgnored);
            ::close(m_fdLock);
        }
    }
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    bool IsUp() const { return m_bUp; }
    const std::string& GetError() const { return m_strError; }
    int GetId() const { return m_nId; }
    const NetnsSide& A() const { return m_a; }
    const NetnsSide& B() const { return m_b; }

    // scripts/netns.sh of the source tree, as the build compiled it in.
    static std::string DefaultScript() {
#ifdef BANDSCOPE_SOURCE_DIR
        return BANDSCOPE_SOURCE_DIR "/scripts/netns.sh";
#else
        return "scripts/netns.sh";
#endif
    }

private:
    bool RunScript(const std::string& strCommand, std::string& strOutput) const {
        const std::string strLine =
            "'" + m_strScript + "' " + strCommand + " " + std::to_string(m_nId) + " 2>&1";
        FILE* pPipe = ::popen(strLine.c_str(), "r");
        if (pPipe == nullptr) {
            strOutput = "cannot run " + m_strScript;
            return false;
        }
        char buffer[512];
        strOutput.clear();
        while (std::fgets(buffer, sizeof buffer, pPipe) != nullptr) {
            strOutput += buffer;
        }
        const int nStatus = ::pclose(pPipe);
        if (nStatus != 0) {
            strOutput = strLine + " failed (status " + std::to_string(nStatus) + "): " + strOutput;
            return false;
        }
        return true;
    }

    std::string m_strScript;
    int m_nId = 0;
    int m_fdLock = -1;
    bool m_bUp = false;
    std::string m_strError;
    NetnsSide m_a;
    NetnsSide m_b;
};

} // namespace testing_support
