#include "node/udp_pacer.h"

#include "net/download_stamp.h"
#include "node/node_log.h"

#include <algorithm>

namespace {

constexpr int DATAGRAM_SIZE = 1000;
constexpr int DATAGRAM_BATCH = 64;
// The credit holds at most this much of the rate (and at least one batch):
// a late wake-up loses nothing, and the burst after a stall stays short.
constexpr double CREDIT_MS = 5;

} // namespace

CUdpPacer::CUdpPacer(SOCKET hUdp, NodeIo::ADDRESS nPeer, uint16_t nPort, double dRateMbits,
                     const uint8_t* pFiller)
    : m_hUdp(hUdp), m_nPeer(nPeer), m_nPort(nPort), m_dRateMbits(dRateMbits), m_pFiller(pFiller) {
    // A paced download takes little of a processor and must keep its pace.
    if (dRateMbits <= 0) {
        SetPriority(THREAD_PRIORITY_IDLE);
    }
}

CUdpPacer::~CUdpPacer() {
    End();
}

bool CUdpPacer::Begin(int nTest) {
    End();
    m_nTest = nTest;
    m_bBlocked = false;
    m_dCredit = 0;
    m_nCreditMs = NowMs();
    m_nSent = 0;
    m_nFirstSendMs = -1;
    m_bFailed = false;
    m_strError.clear();
    m_hWake = NodeIo::CreateWake();
    if (!Start()) {
        End();
        return false;
    }
    return true;
}

void CUdpPacer::End() {
    Stop(true); // wakes the wait
    Join();
    NodeIo::CloseWake(m_hWake);
    m_hWake = INVALID_SOCKET;
}

void CUdpPacer::Unblock() {
    NodeIo::Wake(m_hWake);
}

void CUdpPacer::Fail(const std::string& strWhat) {
    m_strError = strWhat + GetWinsockErrorText();
    m_bFailed.store(true, std::memory_order_release);
}

void CUdpPacer::Run() {
    while (m_bRun) {
        if (!m_bBlocked) {
            if (!Send(NowMs())) {
                Fail("");
                return;
            }
            if (!m_bBlocked && m_dRateMbits <= 0) {
                continue; // unpaced: the next batch at once
            }
        }
        // Room in the socket, or the pacing's next batch, within a millisecond.
        NodeIo::SWait waits[2];
        waits[0] = {m_hUdp, false, m_bBlocked};
        waits[1] = {m_hWake, m_hWake != INVALID_SOCKET, false};
        if (!NodeIo::Wait(waits, 2, m_bBlocked ? WAKE_MS : 1)) {
            Fail("wait failed: ");
            return;
        }
        if (waits[0].bWritable) {
            m_bBlocked = false;
        }
    }
}

bool CUdpPacer::Send(int64_t nNowMs) {
    if (m_dRateMbits > 0) {
        const double dPerMs = m_dRateMbits * 1000000.0 / 8.0 / 1000.0; // bytes
        const int64_t nEarnedMs = std::max<int64_t>(nNowMs - m_nCreditMs, 0);
        m_dCredit = std::min(m_dCredit + dPerMs * static_cast<double>(nEarnedMs),
                             std::max(dPerMs * CREDIT_MS, double{DATAGRAM_BATCH * DATAGRAM_SIZE}));
        m_nCreditMs += nEarnedMs;
    }
    // Paced: every batch the credit allows; unpaced: one batch a pass, as
    // the loop comes straight back.
    do {
        const int nCount =
            m_dRateMbits > 0 ? std::min(DATAGRAM_BATCH, static_cast<int>(m_dCredit / DATAGRAM_SIZE))
                             : DATAGRAM_BATCH;
        if (nCount <= 0) {
            return true;
        }
        // Each datagram leads with its number in the test and the batch's
        // send time (one stamp serves, as the batch leaves in one call).
        if (m_batch.empty()) {
            m_batch.assign(m_pFiller, m_pFiller + DATAGRAM_BATCH * DATAGRAM_SIZE);
        }
        const auto nFirst = static_cast<uint32_t>(m_nSent / DATAGRAM_SIZE);
        const uint64_t nSentUs = DownloadStampNowUs();
        for (int i = 0; i < nCount; ++i) {
            WriteDownloadStamp(&m_batch[static_cast<size_t>(i) * DATAGRAM_SIZE],
                               nFirst + static_cast<uint32_t>(i), nSentUs, m_nTest);
        }
        const int nSent = NodeIo::SendDatagrams(m_hUdp, m_batch.data(), DATAGRAM_SIZE, m_nPeer,
                                                m_nPort, nCount, m_bSegmentation);
        if (nSent == NodeIo::IO_WOULD_BLOCK) {
            m_bBlocked = true;
            return true;
        }
        if (nSent < 0) {
            return false;
        }
        if (m_nFirstSendMs < 0) {
            m_nFirstSendMs = NowMs();
        }
        m_nSent += static_cast<uint64_t>(nSent) * DATAGRAM_SIZE;
        m_dCredit -= static_cast<double>(nSent) * DATAGRAM_SIZE;
    } while (m_dRateMbits > 0);
    return true;
}
