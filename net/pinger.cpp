#include "net/pinger.h"

#include "net/icmp_echo.h"

CPinger::CPinger() : m_nId(NewIcmpEchoId()) {}

CPinger::~CPinger() {
    Close();
}

bool CPinger::Open(const std::string& strAddress) {
    Close();
    m_strError.clear();
    m_nAddress = InetAddr(strAddress);
    if (m_nAddress == ADDRESS_NONE) {
        m_strError = WinsockErrorText(WSAEINVAL);
        return false;
    }
    m_hSocket = OpenIcmpSocket();
    if (m_hSocket == INVALID_SOCKET) {
        m_strError = GetWinsockErrorText();
        return false;
    }
    m_pending = {};
    Take();
    if (!Start()) {
        CloseIcmpSocket(m_hSocket);
        m_hSocket = INVALID_SOCKET;
        m_strError = WinsockErrorText(WSAEPROCLIM);
        return false;
    }
    return true;
}

void CPinger::Close() {
    Stop(false); // the thread waits at most INTERVAL_MS at a time
    CloseIcmpSocket(m_hSocket);
    m_hSocket = INVALID_SOCKET;
}

CPinger::Figures CPinger::Take() {
    std::lock_guard lock(m_mtxFigures);
    Figures figures;
    figures.nAnswered = m_nAnswered;
    figures.nLost = m_nLost;
    if (m_nAnswered > 0) {
        figures.dMinMs = m_dMinMs;
        figures.dMeanMs = m_dSumMs / m_nAnswered;
        figures.dMaxMs = m_dMaxMs;
    }
    m_nAnswered = m_nLost = 0;
    m_dSumMs = m_dMinMs = m_dMaxMs = 0;
    return figures;
}

void CPinger::Run() {
    const auto interval = std::chrono::milliseconds(INTERVAL_MS);
    const auto timeout = std::chrono::milliseconds(TIMEOUT_MS);
    uint16_t nSequence = 0;
    Clock::time_point next = Clock::now();
    while (m_bRun) {
        Clock::time_point now = Clock::now();
        if (now >= next) {
            // An echo that could not be sent counts as lost once its time is up.
            Pending& echo = m_pending[nSequence % m_pending.size()];
            echo = {true, nSequence, now};
            SendIcmpEcho(m_hSocket, m_nAddress, m_nId, nSequence);
            ++nSequence;
            // A late wake-up is not made up for with a burst.
            next = next + interval > now ? next + interval : now + interval;
        }
        {
            std::lock_guard lock(m_mtxFigures);
            for (Pending& echo : m_pending) {
                if (echo.bWaiting && now - echo.sent >= timeout) {
                    echo.bWaiting = false;
                    ++m_nLost;
                }
            }
        }
        const auto nWaitMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
        SIcmpReply reply;
        const int nGot = ReceiveIcmpEcho(m_hSocket, static_cast<int>(nWaitMs), reply);
        if (nGot < 0) {
            CThread::Sleep(static_cast<uint32_t>(nWaitMs)); // a failing socket must not spin
            continue;
        }
        if (nGot == 0 || reply.nFrom != m_nAddress || reply.nId != m_nId)
            continue;
        Pending& echo = m_pending[reply.nSequence % m_pending.size()];
        if (!echo.bWaiting || echo.nSequence != reply.nSequence)
            continue; // a duplicate, or too late
        echo.bWaiting = false;
        const double dMs =
            std::chrono::duration<double, std::milli>(reply.arrival - echo.sent).count();
        const double dRttMs = dMs > 0 ? dMs : 0;
        std::lock_guard lock(m_mtxFigures);
        m_dMinMs = m_nAnswered == 0 || dRttMs < m_dMinMs ? dRttMs : m_dMinMs;
        m_dMaxMs = m_nAnswered == 0 || dRttMs > m_dMaxMs ? dRttMs : m_dMaxMs;
        m_dSumMs += dRttMs;
        ++m_nAnswered;
    }
}
