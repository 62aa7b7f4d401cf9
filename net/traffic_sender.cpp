#include "net/traffic_sender.h"

#include "net/datagram_batch.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace {
// Pause while there is nothing to send on, or after a failed send.
constexpr uint32_t IDLE_MS = 10;
} // namespace

CTrafficSender::CTrafficSender(CClient* pClient, CClientUDP* pClientUDP)
    : m_pClient(pClient), m_pClientUDP(pClientUDP) {}

CTrafficSender::~CTrafficSender() {
    Join();
}

bool CTrafficSender::Start(bool bTcp, const std::string& strHost, uint16_t nPort) {
    if (IsOwnThread()) {
        return false; // it would have to wait for itself
    }
    std::lock_guard lock(m_mtxStart);
    Join(); // the previous sender must be gone before its settings change
    m_bTcp = bTcp;
    m_strHost = strHost;
    m_nPort = nPort;
    // Datagrams have no flow control: a sender that takes the processor from
    // the receiving threads on the same host (this program's download and
    // capture, or a node on the same machine) only makes them drop what it
    // sent. Sent at the lowest priority, the datagrams go out as fast as the
    // readers keep up with. A stream waits for its reader by itself.
    SetPriority(bTcp ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_IDLE);
    return CThread::Start();
}

void CTrafficSender::Run() {
    // Filled once per start and sent unchanged; 255 never occurs.
    char block[BLOCK_SIZE];
    for (char& c : block) {
        c = static_cast<char>(std::rand() % 255);
    }
    if (m_bTcp) {
        RunStream(block);
    } else {
        RunDatagrams(block);
    }
}

void CTrafficSender::RunStream(const char* pBlock) {
    // Copies of the block back to back: the stream is that block repeated, so
    // a send that starts nOffset bytes into the buffer continues it exactly.
    std::vector<char> buffer(static_cast<size_t>(STREAM_BATCH) * BLOCK_SIZE);
    for (size_t i = 0; i < buffer.size(); i += BLOCK_SIZE) {
        std::copy(pBlock, pBlock + BLOCK_SIZE, buffer.begin() + static_cast<std::ptrdiff_t>(i));
    }
    const int nBuffer = static_cast<int>(buffer.size());

    std::shared_ptr<CSocket> pSocket;
    int nOffset = 0; // bytes of the current block already sent
    while (m_bRun) {
        auto pCurrent = m_pClient->GetSocket();
        if (pCurrent != pSocket) {
            pSocket = std::move(pCurrent);
            nOffset = 0; // a new connection starts on a block boundary
        }
        if (!pSocket || !pSocket->IsConnected()) {
            CThread::Sleep(IDLE_MS);
            continue;
        }
        const int nSent =
            pSocket->SendAvailable(buffer.data() + nOffset, nBuffer - nOffset, SEND_WAIT_MS);
        if (nSent < 0) {
            CThread::Sleep(IDLE_MS); // the connection is gone; idle until stopped
            continue;
        }
        nOffset = (nOffset + nSent) % BLOCK_SIZE;
    }

    // The node reads control bytes between blocks, so a stop must not leave a
    // block cut short; only a dead connection or the time bound may.
    if (!pSocket || nOffset == 0) {
        return;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(FINISH_BLOCK_MS);
    while (nOffset != 0) {
        const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count();
        if (nLeft <= 0) {
            break;
        }
        const int nSent =
            pSocket->SendAvailable(buffer.data() + nOffset, BLOCK_SIZE - nOffset,
                                   static_cast<uint32_t>(std::min<long long>(nLeft, SEND_WAIT_MS)));
        if (nSent < 0) {
            break;
        }
        nOffset = (nOffset + nSent) % BLOCK_SIZE;
    }
}

void CTrafficSender::RunDatagrams(const char* pBlock) {
    // The destination as the UDP client's SendTo would take it.
    const uint32_t nAddress = InetAddr(m_strHost);
    bool bSegmentation = true;
    while (m_bRun) {
        const auto pSocket = m_pClientUDP->GetSocket();
        if (!pSocket) {
            CThread::Sleep(IDLE_MS); // closed: nothing to send from until stopped
            continue;
        }
        // A batch goes once the socket has room, so that a stop is noticed
        // within SEND_WAIT_MS however long the queue stays full.
        const int nReady = nAddress == ADDRESS_NONE ? -1 : pSocket->WaitForRoom(SEND_WAIT_MS);
        if (nReady > 0 && SendDatagramCopies(pSocket->GetHandle(), pBlock, BLOCK_SIZE, nAddress,
                                             m_nPort, DATAGRAM_BATCH, bSegmentation) >= 0) {
            continue;
        }
        if (nReady != 0) {
            CThread::Sleep(1); // failures are ignored, but must not spin a core
        }
    }
}
