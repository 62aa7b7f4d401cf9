#include "node/node_server.h"

#include "net/test_kinds.h"

#include <algorithm>

namespace {

constexpr size_t MAX_CLOSING = 256;
constexpr int CLOSING_MS = 1000;
// Sockets on the UDP port, each with its own receive buffer and thread: the
// kernel keeps each sender on one of them, so that several sessions'
// uploads do not all queue behind one another.
constexpr int UDP_RECEIVERS = 4;

} // namespace

CNodeServer::CNodeServer(const CNodeOptions& options, CNodeLog& log)
    : m_options(options), m_log(log) {}

CNodeServer::~CNodeServer() {
    for (auto& pReceiver : m_receivers) {
        pReceiver->Stop(false);
    }
    for (auto& pSession : m_sessions) {
        pSession->RequestStop();
    }
    m_sessions.clear(); // each destructor waits for its thread
}

bool CNodeServer::Open(std::string& strError) {
    const std::string strShown = m_options.strBind.empty() ? "0.0.0.0" : m_options.strBind;
    // Port 0: a free TCP port whose UDP twin is free too.
    const int nTries = m_options.nPort == 0 ? 20 : 1;
    for (int nTry = 0; nTry < nTries; ++nTry) {
        auto pListener = std::make_unique<CSocket>(CreateSocket(SOCKET_TYPE_STREAM));
        if (pListener->GetHandle() == INVALID_SOCKET) {
            strError = "cannot create a TCP socket: " + OneLine(GetWinsockErrorText());
            return false;
        }
        NodeIo::SetReuseAddress(pListener->GetHandle());
        pListener->SetBacklog(128);
        if (!pListener->Bind(m_options.strBind, m_options.nPort)) {
            strError = "cannot listen on TCP " + strShown + ":" + std::to_string(m_options.nPort) +
                       ": " + OneLine(pListener->GetLastErrorText());
            return false;
        }
        const uint16_t nPort = NodeIo::GetLocalPort(pListener->GetHandle());
        if (!OpenUdp(nPort, strError)) {
            if (nTry + 1 < nTries) {
                continue;
            }
            return false;
        }
        NodeIo::SetNonBlocking(pListener->GetHandle());
        m_pListener = std::move(pListener);
        m_nPort = nPort;
        return true;
    }
    strError = "no free port pair found";
    return false;
}

bool CNodeServer::OpenUdp(uint16_t nPort, std::string& strError) {
    const std::string strShown = m_options.strBind.empty() ? "0.0.0.0" : m_options.strBind;
    for (int i = 0; i < UDP_RECEIVERS; ++i) {
        // Fewer receivers still serve; none is a failure.
        auto pUdp = std::make_unique<CSocket>(CreateSocket(SOCKET_TYPE_DGRAM));
        if (pUdp->GetHandle() == INVALID_SOCKET) {
            if (i == 0) {
                strError = "cannot create a UDP socket: " + OneLine(GetWinsockErrorText());
            }
            return i > 0;
        }
        // Only the node's own sockets can share the port: one held by
        // another program refuses the first bind.
        const bool bShared = NodeIo::SetSharedPort(pUdp->GetHandle());
        if (!pUdp->Bind(m_options.strBind, nPort)) {
            if (i == 0) {
                strError = "cannot bind UDP " + strShown + ":" + std::to_string(nPort) + ": " +
                           OneLine(pUdp->GetLastErrorText());
            }
            return i > 0;
        }
        NodeIo::TuneDatagramSocket(pUdp->GetHandle());
        m_receivers.push_back(std::make_unique<CUdpReceiver>(*this, std::move(pUdp)));
        if (!bShared) {
            break;
        }
    }
    return true;
}

std::string CNodeServer::GetListenText() const {
    return (m_options.strBind.empty() ? std::string("0.0.0.0") : m_options.strBind) + ":" +
           std::to_string(m_nPort);
}

int CNodeServer::Serve(SOCKET hStop) {
    for (auto& pReceiver : m_receivers) {
        if (!pReceiver->Start()) {
            m_log.Write("cannot start the UDP receiver: no thread for it");
            return 1;
        }
    }
    while (true) {
        NodeIo::SWait waits[2];
        waits[0] = {m_pListener->GetHandle(), true, false};
        waits[1] = {hStop, hStop != INVALID_SOCKET, false};
        NodeIo::Wait(waits, 2, 100);
        if (waits[1].bReadable) {
            m_log.Write("stop signal: ending every session");
            break;
        }
        if (waits[0].bReadable) {
            AcceptOne();
        }
        Reap();
        ServeClosing();
        if (m_options.bOnce && m_nAccepted > 0 && LiveSessions() == 0) {
            m_log.Write("--once: the session is over");
            break;
        }
    }
    // Every session is told at once; each then drains briefly on its own.
    std::vector<std::shared_ptr<CSession>> sessions;
    {
        std::lock_guard lock(m_mtxSessions);
        sessions = m_sessions;
    }
    for (auto& pSession : sessions) {
        pSession->RequestStop();
    }
    sessions.clear();
    {
        std::lock_guard lock(m_mtxSessions);
        sessions.swap(m_sessions);
    }
    sessions.clear(); // waits for each session's thread
    for (auto& pReceiver : m_receivers) {
        pReceiver->Stop(false);
    }
    m_closing.clear();
    m_log.Write("node stopped");
    return 0;
}

size_t CNodeServer::LiveSessions(std::optional<NodeIo::ADDRESS> peer) {
    std::lock_guard lock(m_mtxSessions);
    return static_cast<size_t>(
        std::count_if(m_sessions.begin(), m_sessions.end(), [peer](const auto& p) {
            return !p->IsFinished() && (!peer || p->GetPeerAddress() == *peer);
        }));
}

void CNodeServer::AcceptOne() {
    if (!m_pListener->Accept()) {
        // Gone again before we took it is normal; anything else (out of
        // descriptors, say) would wake us at once again: say so and wait a little.
        const int nError = WSAGetLastError();
        if (nError != WSAEWOULDBLOCK && nError != WSAECONNABORTED) {
            const int64_t nNow = NowMs();
            if (nNow - m_nAcceptLogMs >= 10000) {
                m_log.Write("accept failed: " + OneLine(m_pListener->GetLastErrorText()));
                m_nAcceptLogMs = nNow;
            }
            CThread::Sleep(50);
        }
        return;
    }
    const SOCKET hAccepted = m_pListener->GetAcceptedHandle();
    NodeIo::ADDRESS nPeer = 0;
    uint16_t nPeerPort = 0;
    if (!NodeIo::GetPeer(hAccepted, nPeer, nPeerPort)) {
        CSocket closing(hAccepted); // already gone: just release it
        return;
    }
    const std::string strPeer = NodeIo::TextFromAddress(nPeer) + ":" + std::to_string(nPeerPort);
    const size_t nLive = LiveSessions();
    const size_t nLimit = m_options.bOnce ? 1 : static_cast<size_t>(m_options.nMaxSessions);
    if (nLive >= nLimit || (m_options.bOnce && m_nAccepted > 0)) {
        Refuse(std::make_unique<CSocket>(hAccepted),
               strPeer + " refused: " + std::to_string(nLive) + " session(s) already");
        return;
    }
    // One host must not take every place.
    const size_t nFromPeer = LiveSessions(nPeer);
    if (nFromPeer >= static_cast<size_t>(m_options.nMaxPerAddress)) {
        const std::string strWhy = std::to_string(nFromPeer) + " session(s) from this address";
        Refuse(std::make_unique<CSocket>(hAccepted), strPeer + " refused: " + strWhy + " already");
        return;
    }
    ++m_nAccepted;
    SSessionContext context;
    context.pOptions = &m_options;
    context.pLog = &m_log;
    context.hUdp = m_receivers.front()->GetHandle();
    context.nPort = m_nPort;
    // The session owns the descriptor from here on.
    auto pSession = std::make_shared<CSession>(context, hAccepted, nPeer, nPeerPort);
    {
        std::lock_guard lock(m_mtxSessions);
        m_sessions.push_back(pSession);
    }
    // A session whose thread could not start would hold its place for ever.
    if (!pSession->Begin()) {
        m_log.Write(strPeer + " refused: no thread for another session");
        std::lock_guard lock(m_mtxSessions);
        std::erase(m_sessions, pSession);
    }
}

void CNodeServer::Refuse(std::unique_ptr<CSocket> pSocket, const std::string& strLine) {
    // Connections come as fast as a peer makes them: their lines are held to a rate.
    if (m_refusedLog.Allow(NowMs())) {
        const uint64_t nLeftOut = m_refusedLog.TakeLeftOut();
        m_log.Write(strLine + (nLeftOut > 0
                                   ? " (" + std::to_string(nLeftOut) + " more refused, not logged)"
                                   : std::string()));
    }
    // Test command 0 tells the client at once instead of leaving it waiting.
    const uint8_t end = 0;
    NodeIo::SetNonBlocking(pSocket->GetHandle());
    NodeIo::SendSome(pSocket->GetHandle(), &end, 1);
    if (m_closing.size() < MAX_CLOSING) {
        m_closing.push_back({std::move(pSocket), NowMs() + CLOSING_MS});
    }
}

void CNodeServer::ServeClosing() {
    const int64_t nNow = NowMs();
    std::erase_if(m_closing, [nNow](SClosing& closing) {
        char buffer[4096];
        int nReceived;
        do {
            nReceived = NodeIo::ReceiveSome(closing.pSocket->GetHandle(), buffer, sizeof buffer);
        } while (nReceived > 0);
        return nReceived == 0 || nReceived == NodeIo::IO_ERROR || nNow >= closing.nUntilMs;
    });
}

void CNodeServer::Reap() {
    std::vector<std::shared_ptr<CSession>> finished;
    {
        std::lock_guard lock(m_mtxSessions);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if ((*it)->IsFinished()) {
                finished.push_back(std::move(*it));
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    finished.clear(); // joins the ended threads outside the lock
}

void CNodeServer::CUdpReceiver::Run() {
    auto pBatch = std::make_unique<NodeIo::SDatagramBatch>();
    const SOCKET hUdp = m_pSocket->GetHandle();
    while (m_bRun) {
        NodeIo::SWait wait{hUdp, true, false};
        NodeIo::Wait(&wait, 1, 100);
        if (!wait.bReadable) {
            continue;
        }
        // A bounded number of batches between looks at the run flag.
        for (int nRound = 0; nRound < 64 && m_bRun; ++nRound) {
            if (!NodeIo::ReceiveDatagrams(hUdp, *pBatch) || pBatch->nCount == 0) {
                break;
            }
            m_server.Attribute(*pBatch);
        }
    }
}

void CNodeServer::Attribute(const NodeIo::SDatagramBatch& batch) {
    const int64_t nNow = NowMs();
    std::vector<std::string> lines; // written once the lock is released
    {
        std::lock_guard lock(m_mtxSessions);
        for (int i = 0; i < batch.nCount; ++i) {
            // A download sent to the node's own address and port (a client
            // on the node's address) comes back here: it is no client's.
            if (batch.nSender[i] == batch.nReceiver[i] && batch.nSenderPort[i] == m_nPort) {
                m_nOwn += static_cast<uint64_t>(batch.nDatagrams[i]);
                continue;
            }
            // Several sessions may share an address; the one running a UDP
            // upload takes the datagram.
            CSession* pMatch = nullptr;
            for (const auto& pSession : m_sessions) {
                if (pSession->GetPeerAddress() != batch.nSender[i] || pSession->IsFinished()) {
                    continue;
                }
                const bool bUdpUpload = TestKind(pSession->GetTest()).UdpUpload();
                if (pMatch == nullptr || bUdpUpload) {
                    pMatch = pSession.get();
                }
                if (bUdpUpload) {
                    break;
                }
            }
            if (pMatch != nullptr) {
                pMatch->AddUdpReceived(batch.nBytes[i], nNow);
            } else {
                m_nUnmatched += static_cast<uint64_t>(batch.nDatagrams[i]);
                m_nLastUnmatched = batch.nSender[i];
            }
        }
        // The receivers share one rate for these lines.
        if (m_nOwn > 0 && nNow - m_nOwnLogMs >= 10000) {
            lines.push_back("ignored " + std::to_string(m_nOwn) +
                            " datagram(s) that came from the node's own address and port");
            m_nOwn = 0;
            m_nOwnLogMs = nNow;
        }
        if (m_nUnmatched > 0 && nNow - m_nUnmatchedLogMs >= 10000) {
            lines.push_back("ignored " + std::to_string(m_nUnmatched) +
                            " datagram(s) from addresses without a session, the last from " +
                            NodeIo::TextFromAddress(m_nLastUnmatched));
            m_nUnmatched = 0;
            m_nUnmatchedLogMs = nNow;
        }
    }
    for (const std::string& strLine : lines) {
        m_log.Write(strLine);
    }
}
