// CNodeServer: the node's listening TCP socket and its UDP sockets of the
// same port, the sessions, and the UDP receivers that match datagrams to
// sessions by their sender's address.
#pragma once

#include "net/socket.h"
#include "net/thread.h"
#include "node/node_log.h"
#include "node/node_options.h"
#include "node/session.h"
#include "node/socket_io.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CNodeServer {
public:
    CNodeServer(const CNodeOptions& options, CNodeLog& log);
    ~CNodeServer();
    CNodeServer(const CNodeServer&) = delete;
    CNodeServer& operator=(const CNodeServer&) = delete;

    // Binds both ports; false with a one-line message.
    bool Open(std::string& strError);
    // "ADDRESS:PORT" as bound.
    std::string GetListenText() const;
    // Serves until hStop becomes readable (or, with --once, the first
    // session ends); ends every session and returns the exit code.
    int Serve(SOCKET hStop);

private:
    // One socket of the port's group and the thread that reads it.
    class CUdpReceiver final : public CThread {
    public:
        CUdpReceiver(CNodeServer& server, std::unique_ptr<CSocket> pSocket)
            : m_server(server), m_pSocket(std::move(pSocket)) {}
        ~CUdpReceiver() { Join(); }
        SOCKET GetHandle() const { return m_pSocket->GetHandle(); }

    protected:
        void Run() override;

    private:
        CNodeServer& m_server;
        const std::unique_ptr<CSocket> m_pSocket;
    };

    // A refused connection, kept briefly so that the end command reaches the client.
    struct SClosing {
        std::unique_ptr<CSocket> pSocket;
        int64_t nUntilMs;
    };

    void AcceptOne();
    // Tells the client to end, logs strLine, and closes the connection soon.
    void Refuse(std::unique_ptr<CSocket> pSocket, const std::string& strLine);
    void Reap();
    void ServeClosing();
    // Binds the UDP sockets of nPort; false with the first one's error.
    bool OpenUdp(uint16_t nPort, std::string& strError);
    void Attribute(const NodeIo::SDatagramBatch& batch);
    // Sessions still running, all or those from one peer address.
    size_t LiveSessions(std::optional<NodeIo::ADDRESS> peer = std::nullopt);

    const CNodeOptions m_options;
    CNodeLog& m_log;
    std::unique_ptr<CSocket> m_pListener;
    uint16_t m_nPort = 0;
    // The UDP port's sockets, each read by its own thread; downloads go out
    // from the first.
    std::vector<std::unique_ptr<CUdpReceiver>> m_receivers;
    // Guards m_sessions and the receivers' counts below, for the UDP
    // receivers and the serving thread.
    std::mutex m_mtxSessions;
    std::vector<std::shared_ptr<CSession>> m_sessions;
    uint64_t m_nUnmatched = 0;
    NodeIo::ADDRESS m_nLastUnmatched = 0;
    int64_t m_nUnmatchedLogMs = -100000;
    uint64_t m_nOwn = 0; // the node's own datagrams come back
    int64_t m_nOwnLogMs = -100000;
    std::vector<SClosing> m_closing;
    int m_nAccepted = 0;
    int64_t m_nAcceptLogMs = -100000;
    CLogLimit m_refusedLog;
};
