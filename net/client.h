// CClient: the TCP connection to the node. It carries the control exchange
// and the TCP test data; a receive thread hands every receive to a callback.
#pragma once

#include "net/shared_socket.h"
#include "net/thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CClient : public CThread {
public:
    // Every receive, on the receive thread, as it came: one call per receive
    // (a receive of exactly one byte is a node command). When the connection
    // ends without the owner's Close (the node closed it, or it failed), one
    // last call with nLength 0 says so before the thread ends.
    using PFNRECEIVE = void (*)(const char* pData, int32_t nLength);

    // Wire messages from client to node.
    static constexpr uint8_t MSG_SESSION_START = 0x6C;
    static constexpr uint8_t MSG_SESSION_END = 0x00;
    static constexpr int BLOCK_SIZE = 1000;
    // Large reads keep up with the download, which arrives on this connection.
    static constexpr int RECEIVE_BUFFER = 128 * 1024;
    static constexpr uint32_t CONNECT_TIMEOUT_MS = 10000;
    // The longest a control message waits for room on the connection.
    static constexpr uint32_t CONTROL_SEND_MS = 250;

    explicit CClient(PFNRECEIVE pfnReceive);
    ~CClient();

    // Drops any connection, then connects to the dotted address and starts
    // the receive thread. Gives up after the connect time-out (WSAETIMEDOUT);
    // a Close from another thread cancels it at once (WSAEINTR). On failure
    // nothing stays open and GetErrorText says why. Refused on the receive
    // thread (WSAEINVAL), leaving the connection as it is.
    bool Connect(const std::string& strAddress, uint16_t nPort);
    // CONNECT_TIMEOUT_MS unless set; for the Connects that follow.
    void SetConnectTimeout(uint32_t nMilliseconds) { m_nConnectTimeoutMs = nMilliseconds; }
    // Safe from any thread, the receive callback included (the caller's
    // remaining work then still runs), against concurrent Sends, and during
    // a Connect, which it cancels. Clears the error text.
    void Close();
    // One send, blocking as the socket does; -1 without a connection.
    int Send(const void* pData, int nLength);
    // Why the last Connect or control message failed; empty after a
    // successful Connect and after Close.
    std::string GetErrorText() const;
    bool IsConnected() const;

    // The wire bytes of the client's control messages.
    static std::string MakeSessionStart(uint16_t nSeconds);
    // The control messages, each whole within CONTROL_SEND_MS: its length, or
    // -1 with the reason in GetErrorText and as the thread's last error
    // (WSAETIMEDOUT when the node has stopped reading and the connection is
    // full; WSAENOTCONN without a connection).
    int SendSessionStart(uint16_t nSeconds);
    int SendTestRequest(int nTest);
    int SendSessionEnd();

    // The connection's socket, kept alive for as long as the caller holds it
    // (null without one; not yet connected while a Connect runs). The upload
    // sender writes on it directly.
    std::shared_ptr<CSocket> GetSocket() const;

protected:
    void Run() override;

private:
    int SendControl(const std::string& strMessage);
    void SetError(std::string strError);

    const PFNRECEIVE m_pfnReceive;
    CSharedSocket m_socket;
    std::atomic<uint32_t> m_nConnectTimeoutMs{CONNECT_TIMEOUT_MS};
    mutable std::mutex m_mtxError; // guards m_strError
    std::string m_strError;
};
