// CUdpPacer: a session's UDP download, datagrams to the client's address
// through the node's shared UDP socket, paced to the node's rate or, without
// one, as fast as the socket takes them. It sends on a thread of its own,
// unpaced at the lowest priority: datagrams have no flow control, and a
// sender that takes the processor from the readers on the same host (a
// client on this machine, or the readers of other sessions' uploads) only
// makes them drop what it sent.
#pragma once

#include "node/download_thread.h"
#include "node/socket_io.h"

#include <cstdint>
#include <vector>

class CUdpPacer final : public CDownloadThread {
public:
    // dRateMbits 0: unpaced. pFiller: a batch of filler bytes at least.
    CUdpPacer(SOCKET hUdp, NodeIo::ADDRESS nPeer, uint16_t nPort, double dRateMbits,
              const uint8_t* pFiller);
    ~CUdpPacer();

    // Starts sending test nTest's datagrams. False when no thread could be made.
    bool Begin(int nTest);
    // Since Begin, read after End: bytes sent, and when the first left (-1 before).
    uint64_t GetSent() const { return m_nSent; }
    int64_t GetFirstSendMs() const { return m_nFirstSendMs; }

protected:
    void Run() override;

private:
    // Sends what the pacing allows at nNowMs. False when a send failed.
    bool Send(int64_t nNowMs);

    const SOCKET m_hUdp;
    const NodeIo::ADDRESS m_nPeer;
    const uint16_t m_nPort;
    const double m_dRateMbits;
    const uint8_t* const m_pFiller;

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
