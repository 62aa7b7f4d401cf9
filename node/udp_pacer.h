// CUdpPacer: a session's UDP download, datagrams to the client's address
// through the node's shared UDP socket, paced to the node's rate or, without
// one, as fast as the socket takes them. It sends on a thread of its own,
// unpaced at the lowest priority: datagrams have no flow control, and a
// sender that takes the processor from the readers on the same host (a
// client on this machine, or the readers of other sessions' uploads) only
// makes them drop what it sent.
#pragma once

#include "net/thread.h"
#include "node/socket_io.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CUdpPacer final : public CThread {
public:
    // dRateMbits 0: unpaced. pFiller: a batch of filler bytes at least.
    CUdpPacer(SOCKET hUdp, NodeIo::ADDRESS nPeer, uint16_t nPort, double dRateMbits,
              const uint8_t* pFiller);
    ~CUdpPacer();

    // Starts sending test nTest's datagrams. False when no thread could be made.
    bool Begin(int nTest);
    // Stops the sending and waits until the last send has returned.
    void End();
    // True once a send or wait failed; the sending has then stopped and
    // GetError says why.
    bool HasFailed() const { return m_bFailed.load(std::memory_order_acquire); }
    const std::string& GetError() const { return m_strError; }
    // Since Begin, read after End: bytes sent, and when the first left (-1 before).
    uint64_t GetSent() const { return m_nSent; }
    int64_t GetFirstSendMs() const { return m_nFirstSendMs; }

protected:
    void Run() override;
    void Unblock() override;

private:
    // The longest wait when no wake descriptor could be made.
    static constexpr int WAKE_MS = 100;

    // Records strWhat and the thread's last error as the reason.
    void Fail(const std::string& strWhat);
    // Sends what the pacing allows at nNowMs. False when a send failed.
    bool Send(int64_t nNowMs);

    const SOCKET m_hUdp;
    const NodeIo::ADDRESS m_nPeer;
    const uint16_t m_nPort;
    const double m_dRateMbits;
    const uint8_t* const m_pFiller;
    SOCKET m_hWake = INVALID_SOCKET; // made readable to end the wait at once
    std::atomic<bool> m_bFailed{false};
    std::string m_strError; // written before m_bFailed is set

    // The sending thread's while it runs.
    std::vector<uint8_t> m_batch; // a batch of datagrams, stamped as sent
    bool m_bSegmentation = true;  // cleared once the path to the client refuses it
    int m_nTest = 0;
    bool m_bBlocked = false; // the socket took no more: wait until it is writable
    double m_dCredit = 0;    // bytes the pacing allows now
    int64_t m_nCreditMs = 0;
    uint64_t m_nSent = 0;
    int64_t m_nFirstSendMs = -1;
};
