#include "net/client.h"

#include <vector>

CClient::CClient(PFNRECEIVE pfnReceive) : m_pfnReceive(pfnReceive) {}

CClient::~CClient() {
    Close();
    Join();
}

std::shared_ptr<CSocket> CClient::GetSocket() const {
    return m_socket.Get();
}

void CClient::SetError(std::string strError) {
    std::lock_guard lock(m_mtxError);
    m_strError = std::move(strError);
}

bool CClient::Connect(const std::string& strAddress, uint16_t nPort) {
    if (IsOwnThread()) {
        SetError(WinsockErrorText(WSAEINVAL)); // it would have to end the thread it runs on
        return false;
    }
    SetError({});
    // The new socket replaces the old one at once, so that from here on a
    // Close drops it and so cancels the connect.
    const std::shared_ptr<CSocket> pSocket = CSocket::Create(SOCKET_TYPE_STREAM);
    m_socket.Set(pSocket);
    Join(); // the old receive thread ends on its socket's shutdown
    if (!pSocket->ConnectWithin(strAddress, nPort, m_nConnectTimeoutMs)) {
        m_socket.Drop(pSocket); // unless a Close has: it failed then with WSAEINTR
        SetError(pSocket->GetLastErrorText());
        return false;
    }
    if (m_socket.Get() != pSocket) { // a Close as it connected
        SetError(WinsockErrorText(WSAEINTR));
        return false;
    }
    // A Close from here on is one after the connect: the thread started then
    // finds no connected socket and ends.
    if (!Start()) {
        m_socket.Drop(pSocket);
        SetError(WinsockErrorText(WSAEPROCLIM)); // the system would make no more threads
        return false;
    }
    return true;
}

void CClient::Close() {
    SetError({});
    if (m_socket.Drop()) {
        // From the receive thread this only clears the flag: the thread ends
        // when the callback that called us returns.
        Stop(true);
    }
}

int CClient::Send(const void* pData, int nLength) {
    const auto pSocket = GetSocket();
    if (!pSocket || !pSocket->IsConnected()) {
        return SOCKET_ERROR;
    }
    return pSocket->Send(pData, nLength);
}

std::string CClient::GetErrorText() const {
    std::lock_guard lock(m_mtxError);
    return m_strError;
}

bool CClient::IsConnected() const {
    const auto pSocket = GetSocket();
    return pSocket && pSocket->IsConnected();
}

std::string CClient::MakeSessionStart(uint16_t nSeconds) {
    return {static_cast<char>(MSG_SESSION_START), static_cast<char>(nSeconds & 0xFF),
            static_cast<char>(nSeconds >> 8)};
}

int CClient::SendControl(const std::string& strMessage) {
    const auto pSocket = GetSocket();
    int nSent = SOCKET_ERROR;
    if (!pSocket || !pSocket->IsConnected()) {
        WSASetLastError(WSAENOTCONN);
    } else {
        nSent = pSocket->SendWithin(strMessage.data(), static_cast<int>(strMessage.size()),
                                    CONTROL_SEND_MS);
    }
    if (nSent < 0) {
        SetError(WinsockErrorText(WSAGetLastError())); // it stays the thread's last error too
    }
    return nSent;
}

int CClient::SendSessionStart(uint16_t nSeconds) {
    return SendControl(MakeSessionStart(nSeconds));
}

int CClient::SendTestRequest(int nTest) {
    return SendControl(std::string(1, static_cast<char>(nTest)));
}

int CClient::SendSessionEnd() {
    return SendControl(std::string(1, static_cast<char>(MSG_SESSION_END)));
}

void CClient::Run() {
    std::vector<char> buffer(RECEIVE_BUFFER);
    // Only the socket this thread was started for: one not yet connected
    // belongs to a Connect still under way, and to the thread after this.
    const auto pSocket = GetSocket();
    while (m_bRun && pSocket && pSocket->IsConnected()) {
        const int nReceived = pSocket->Receive(buffer.data(), RECEIVE_BUFFER);
        if (nReceived <= 0) {
            // The node closed the connection, or it failed: the owner learns
            // of it once. After the owner's own Close (or a newer connection
            // made meanwhile) the socket is no longer ours, and nobody is told.
            if (m_socket.Drop(pSocket)) {
                m_pfnReceive(buffer.data(), 0);
            }
            break;
        }
        m_pfnReceive(buffer.data(), nReceived);
    }
    m_bRun = false;
}
