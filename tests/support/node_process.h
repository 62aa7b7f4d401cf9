// The real bandscope-node as a child process of a test: started with given
// options, waited for on its ready line, its log read from a file, and always
// ended and reaped by its own process id.
#pragma once

#include "tests/support/process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace testing_support {

// The build's node: below BANDSCOPE_BINARY_DIR from the environment when
// set, else below the build folder compiled in.
inline std::string NodeBinary() {
    if (const char* pszDir = std::getenv("BANDSCOPE_BINARY_DIR")) {
        return std::string(pszDir) + "/node/bandscope-node";
    }
#ifdef BANDSCOPE_BINARY_DIR
    return BANDSCOPE_BINARY_DIR "/node/bandscope-node";
#else
    return "node/bandscope-node";
#endif
}

// The node's end lines of test nTest ("... test N (name) end after ..."), in order.
inline std::vector<std::string> TestEndLines(const std::string& strLog, int nTest) {
    std::vector<std::string> lines;
    const std::string strTest = " test " + std::to_string(nTest) + " (";
    std::istringstream text(strLog);
    for (std::string strLine; std::getline(text, strLine);) {
        if (strLine.find(strTest) != std::string::npos &&
            strLine.find(") end after ") != std::string::npos) {
            lines.push_back(strLine);
        }
    }
    return lines;
}

// The download rate an end line gives ("sent N bytes (R Mbit/s ..."), or -1.
inline double SentMbits(const std::string& strEndLine) {
    const size_t nSent = strEndLine.find(" sent ");
    const size_t nOpen = nSent == std::string::npos ? nSent : strEndLine.find('(', nSent);
    return nOpen == std::string::npos ? -1 : std::atof(strEndLine.c_str() + nOpen + 1);
}

class NodeProcess {
public:
    NodeProcess() = default;
    ~NodeProcess() {
        KillProcess(m_pid);
        if (m_nOut >= 0) {
            ::close(m_nOut);
        }
        if (!m_strLogPath.empty()) {
            ::unlink(m_strLogPath.c_str());
        }
    }
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;

    // Starts the node, inside the named network namespace when one is
    // given, through the launcher when one is given (a program that execs
    // the rest of its command line, as setpriv does); false when it could
    // not be started at all.
    bool Start(const std::vector<std::string>& args, const std::string& strNamespace = {},
               const std::vector<std::string>& launcher = {}) {
        char szLog[] = "/tmp/bandscope-node-log-XXXXXX";
        const int nLog = ::mkstemp(szLog);
        if (nLog < 0) {
            return false;
        }
        m_strLogPath = szLog;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) < 0) {
            ::close(nLog);
            return false;
        }
        std::vector<std::string> argv;
        if (!strNamespace.empty()) {
            argv = {"ip", "netns", "exec", strNamespace}; // it execs the node: the pid stays
        }
        argv.insert(argv.end(), launcher.begin(), launcher.end());
        argv.push_back(NodeBinary());
        argv.insert(argv.end(), args.begin(), args.end());
        m_pid = SpawnProcess(argv, fds[1], nLog);
        ::close(fds[1]);
        ::close(nLog);
        m_nOut = fds[0];
        return m_pid > 0;
    }

    // The ready line, or "" when none came within the timeout.
    std::string WaitReady(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_strOut.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{m_nOut, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) != 1) {
                return {};
            }
            char buffer[256];
            const ssize_t n = ::read(m_nOut, buffer, sizeof buffer);
            if (n <= 0) {
                return {};
            }
            m_strOut.append(buffer, static_cast<size_t>(n));
        }
        const std::string strLine = m_strOut.substr(0, m_strOut.find('\n'));
        const size_t nColon = strLine.rfind(':');
        if (nColon != std::string::npos) {
            m_nPort = static_cast<uint16_t>(std::atoi(strLine.c_str() + nColon + 1));
        }
        return strLine;
    }

    uint16_t Port() const { return m_nPort; }
    pid_t Pid() const { return m_pid; }

    void Signal(int nSignal) {
        if (m_pid > 0) {
            ::kill(m_pid, nSignal);
        }
    }

    // The exit code, or -1 when it has not exited within the timeout (it is
    // then still running) or ended by a signal.
    int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (m_pid <= 0) {
            return -1;
        }
        const std::optional<int> code = WaitProcess(m_pid, timeout);
        if (code) {
            m_pid = -1;
        }
        return code.value_or(-1);
    }

    // Everything the node has logged so far.
    std::string Log() const {
        std::ifstream file(m_strLogPath);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // Everything on standard output after the ready line (read once it exited).
    std::string Output() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_nOut, buffer, sizeof buffer)) > 0) {
            m_strOut.append(buffer, static_cast<size_t>(n));
        }
        return m_strOut;
    }

private:
    pid_t m_pid = -1;
    int m_nOut = -1;
    std::string m_strOut;
    std::string m_strLogPath;
    uint16_t m_nPort = 0;
};

} // namespace testing_support
