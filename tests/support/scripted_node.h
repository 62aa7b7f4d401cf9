// A node of the test's own, for answers that the real one never gives: a
// listener whose every connection is handed to a script on the node's
// thread. The listener lives in the namespace of the thread that makes the
// object. A connection the script keeps stays open until the client closes
// it or the object goes.
#pragma once

#include "tests/support/loopback.h"

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class ScriptedNode {
public:
    // What the node does with one connection; true keeps it open.
    using Script = std::function<bool(int nSocket)>;

    ScriptedNode(const char* pszAddress, Script script)
        : m_listener(pszAddress, 64), m_script(std::move(script)), m_thread([this] { Serve(); }) {}
    ~ScriptedNode() {
        m_bStop = true;
        m_thread.join();
        for (int nSocket : m_kept) {
            ::close(nSocket);
        }
    }
    ScriptedNode(const ScriptedNode&) = delete;
    ScriptedNode& operator=(const ScriptedNode&) = delete;

    uint16_t Port() const { return m_listener.Port(); }

    // Scripts: the end command, then the close or silence; a close at once;
    // and reading the session start and the first request, then answering
    // with nCommand (or, with -1, never).
    static bool EndAndClose(int nSocket) {
        SendByte(nSocket, 0);
        return false;
    }
    static bool EndAndKeep(int nSocket) {
        SendByte(nSocket, 0);
        return true;
    }
    static bool CloseAtOnce(int) { return false; }
    static Script AnswerFirstRequest(int nCommand) {
        return [nCommand](int nSocket) {
            if (ReadBytes(nSocket, 4).size() == 4 && nCommand >= 0) {
                SendByte(nSocket, nCommand);
            }
            return true;
        };
    }

private:
    static bool SendByte(int nSocket, int nValue) {
        const auto c = static_cast<unsigned char>(nValue);
        return ::send(nSocket, &c, 1, MSG_NOSIGNAL) == 1;
    }
    void Serve() {
        while (!m_bStop) {
            const int nSocket = m_listener.Accept(std::chrono::milliseconds(50));
            if (nSocket >= 0 && m_script(nSocket)) {
                m_kept.push_back(nSocket);
            } else if (nSocket >= 0) {
                ::close(nSocket);
            }
            // A kept connection's input is read and dropped; it goes once the
            // client has closed it.
            std::erase_if(m_kept, [](int nKept) {
                char buffer[4096];
                const ssize_t n = ::recv(nKept, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN)) {
                    ::close(nKept);
                    return true;
                }
                return false;
            });
        }
    }

    TcpListener m_listener;
    Script m_script;
    std::atomic<bool> m_bStop{false};
    std::vector<int> m_kept; // the node's thread only, until it has ended
    std::thread m_thread;    // last: it starts once the rest exists
};

} // namespace testing_support
