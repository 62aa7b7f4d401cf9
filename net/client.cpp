#include "net/client.h"

CClient::CClient(PFNRECEIVE pfnReceive) : m_pfnReceive(pfnReceive) {}

CClient::~CClient() {
    Close();
    Join();
}

std::shared_ptr<CSocket> CClient::GetSocket() const {
    return m_socket.Get();
}

bool CClient::Connect(const std::string& strAddress, uint16_t nPort) {
    Close();
    Join(); // the old receive thread is already released; let it end before the new socket
    auto pSocket = std::make_shared<CSocket>(CreateSocket(SOCKET_TYPE_STREAM));
    const bool bConnected = pSocket->Connect(strAddress, nPort);
    m_socket.Set(std::move(pSocket));
    if (bConnected) {
        Start();
    }
    return bConnected;
}

void CClient::Close() {
    if (!m_socket.Drop()) {
        return;
    }
    // From the receive thread this only clears the flag: the thread ends
    // when the callback that called us returns.
    Stop(true);
}

void CClient::Unblock() {
    m_socket.Drop();
}

int CClient::Send(const void* pData, int nLength) {
    const auto pSocket = GetSocket();
    if (!pSocket || !pSocket->IsConnected()) {
        return SOCKET_ERROR;
    }
    return pSocket->Send(pData, nLength);
}

std::string CClient::GetErrorText() const {
    const auto pSocket = GetSocket();
    return pSocket ? pSocket->GetLastErrorText() : std::string();
}

bool CClient::IsConnected() const {
    const auto pSocket = GetSocket();
    return pSocket && pSocket->IsConnected();
}

std::string CClient::MakeSessionStart(uint16_t nSeconds) {
    return {static_cast<char>(MSG_SESSION_START), static_cast<char>(nSeconds & 0xFF),
            static_cast<char>(nSeconds >> 8)};
}

int CClient::SendSessionStart(uint16_t nSeconds) {
    const std::string strMessage = MakeSessionStart(nSeconds);
    return Send(strMessage.data(), static_cast<int>(strMessage.size()));
}

int CClient::SendTestRequest(int nTest) {
    const char cTest = static_cast<char>(nTest);
    return Send(&cTest, 1);
}

int CClient::SendSessionEnd() {
    const char cEnd = static_cast<char>(MSG_SESSION_END);
    return Send(&cEnd, 1);
}

void CClient::Run() {
    char buffer[RECEIVE_BUFFER];
    while (m_bRun) {
        const auto pSocket = GetSocket();
        if (!pSocket) {
            break;
        }
        const int nReceived = pSocket->Receive(buffer, RECEIVE_BUFFER);
        if (nReceived <= 0) {
            // The node closed the connection, or it was closed under us:
            // end quietly. A newer connection made meanwhile is not ours to drop.
            m_socket.Drop(pSocket);
            break;
        }
        m_pfnReceive(buffer, nReceived);
    }
    m_bRun = false;
}
