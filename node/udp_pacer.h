// CUdpPacer: a session's UDP download, datagrams to the client's address
// through the node's shared UDP socket, paced to the node's rate or, without
// one, as fast as the socket takes them. The session's thread alone uses it.
#pragma once

#include "node/socket_io.h"

#include <cstdint>
#include <vector>

class CUdpPacer {
public:
    // dRateMbits 0: unpaced. pFiller: a batch of filler bytes at least.
    CUdpPacer(SOCKET hUdp, NodeIo::ADDRESS nPeer, uint16_t nPort, double dRateMbits,
              const uint8_t* pFiller);

    void Begin(int nTest, int64_t nNowMs);
    void Stop();
    bool IsRunning() const { return m_bRunning; }
    // Blocked: the socket took no more, and the session waits until it is writable.
    bool IsBlocked() const { return m_bBlocked; }
    void OnWritable() { m_bBlocked = false; }
    // The session's wait, cut so that the next batch leaves in time.
    int64_t WaitMs(int64_t nWaitMs) const;
    // Sends what the pacing allows at nNowMs. False when a send failed: the
    // thread's last error says why.
    bool Send(int64_t nNowMs);

    // Since Begin: bytes sent, and when the first left (-1 before).
    uint64_t GetSent() const { return m_nSent; }
    int64_t GetFirstSendMs() const { return m_nFirstSendMs; }

private:
    const SOCKET m_hUdp;
    const NodeIo::ADDRESS m_nPeer;
    const uint16_t m_nPort;
    const double m_dRateMbits;
    const uint8_t* const m_pFiller;
    std::vector<uint8_t> m_batch; // a batch of datagrams, stamped as sent
    bool m_bSegmentation = true;  // cleared once the path to the client refuses it

    int m_nTest = 0;
    bool m_bRunning = false;
    bool m_bBlocked = false;
    double m_dCredit = 0; // bytes the pacing allows now
    int64_t m_nCreditMs = 0;
    uint64_t m_nSent = 0;
    int64_t m_nFirstSendMs = -1;
};
