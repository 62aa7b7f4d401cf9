#include "net/client_udp.h"

CClientUDP::CClientUDP(PFNRECEIVE pfnReceive) : m_pfnReceive(pfnReceive) {}

CClientUDP::~CClientUDP() {
    Close();
    Join();
}

std::shared_ptr<CSocket> CClientUDP::GetSocket() const {
    return m_socket.Get();
}

void CClientUDP::SetError(std::string strError) {
    std::lock_guard lock(m_mtxError);
    m_strError = std::move(strError);
}

bool CClientUDP::Open(const std::string& strAddress, uint16_t nPort) {
    if (IsOwnThread()) {
        SetError(WinsockErrorText(WSAEINVAL)); // it would have to end the thread it runs on
        return false;
    }
    Close();
    Join(); // the old receive thread is already released; let it end first
    std::shared_ptr<CSocket> pSocket = CSocket::Create(SOCKET_TYPE_DGRAM);
    if (!pSocket->Bind(strAddress, nPort)) {
        // An unbound socket would send from a port of the system's choosing:
        // keep only its error text.
        SetError(pSocket->GetLastErrorText());
        return false;
    }
    m_socket.Set(pSocket);
    if (!Start()) {
        m_socket.Drop(pSocket);
        SetError(WinsockErrorText(WSAEPROCLIM)); // the system would make no more threads
        return false;
    }
    return true;
}

void CClientUDP::Close() {
    SetError({});
    // Shutting the socket down wakes a receive blocked on it, even though it
    // is unconnected.
    if (!m_socket.Drop()) {
        return;
    }
    // From the receive thread this only clears the flag: the thread ends
    // when the callback that called us returns.
    Stop(true);
}

void CClientUDP::Unblock() {
    m_socket.Drop();
}

int CClientUDP::SendTo(const void* pData, int nLength, const std::string& strHost, uint16_t nPort) {
    const auto pSocket = GetSocket();
    if (!pSocket) {
        return SOCKET_ERROR;
    }
    return pSocket->SendTo(pData, nLength, strHost, nPort);
}

std::string CClientUDP::GetErrorText() const {
    {
        std::lock_guard lock(m_mtxError);
        if (!m_strError.empty()) {
            return m_strError;
        }
    }
    const auto pSocket = m_socket.Get();
    return pSocket ? pSocket->GetLastErrorText() : std::string();
}

bool CClientUDP::IsOpen() const {
    return GetSocket() != nullptr;
}

void CClientUDP::Run() {
    char buffer[RECEIVE_BUFFER];
    bool bLastFailed = false;
    while (m_bRun) {
        const auto pSocket = GetSocket();
        if (!pSocket) {
            break;
        }
        std::string strAddress;
        uint16_t nPort = 0;
        const int nReceived = pSocket->ReceiveFrom(buffer, RECEIVE_BUFFER, strAddress, nPort);
        if (nReceived > 0) {
            bLastFailed = false;
            m_pfnReceive(buffer, nReceived, std::move(strAddress), nPort);
            continue;
        }
        // Only Close ends this loop. An empty datagram is valid UDP, and an
        // error here is usually an ICMP report about an earlier send (port
        // unreachable); neither says anything about this socket's future.
        if (GetSocket() != pSocket) {
            break;
        }
        if (nReceived < 0) {
            if (bLastFailed) {
                CThread::Sleep(1); // an error that repeats must not spin a core
            }
            bLastFailed = true;
        }
    }
    m_bRun = false;
}
