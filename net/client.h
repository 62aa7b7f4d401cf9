// CClient: the TCP connection to the node. It carries the control exchange
// and the TCP test data; a receive thread hands every receive to a callback.
#pragma once

#include "net/shared_socket.h"
#include "net/thread.h"

#include <cstdint>
#include <memory>
#include <string>

class CClient : public CThread {
public:
    using PFNRECEIVE = void (*)(const char* pData, int32_t nLength);

    // Wire messages from client to node.
    static constexpr uint8_t MSG_SESSION_START = 0x6C;
    static constexpr uint8_t MSG_SESSION_END = 0x00;
    static constexpr int BLOCK_SIZE = 1000;
    static constexpr int RECEIVE_BUFFER = 2048;

    explicit CClient(PFNRECEIVE pfnReceive);
    ~CClient();

    // Drops any connection, then connects to the dotted address and starts
    // the receive thread. On failure the socket is kept for GetErrorText.
    bool Connect(const std::string& strAddress, uint16_t nPort);
    // Safe from any thread, the receive callback included (the caller's
    // remaining work then still runs), and against concurrent Sends.
    void Close();
    // One send; -1 without a connection.
    int Send(const void* pData, int nLength);
    std::string GetErrorText() const;
    bool IsConnected() const;

    // The wire bytes of the client's control messages.
    static std::string MakeSessionStart(uint16_t nSeconds);
    int SendSessionStart(uint16_t nSeconds);
    int SendTestRequest(int nTest);
    int SendSessionEnd();

    // The connection's socket, kept alive for as long as the caller holds it
    // (null without a connection). The upload sender writes on it directly.
    std::shared_ptr<CSocket> GetSocket() const;

protected:
    void Run() override;
    void Unblock() override;

private:
    const PFNRECEIVE m_pfnReceive;
    CSharedSocket m_socket;
};
