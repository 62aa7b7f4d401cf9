#include "net/client_udp.h"

#include "net/download_stamp.h"
#include "net/packet_headers.h"

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
    CDatagramReceiver::Prepare(pSocket->GetHandle(), RECEIVE_BUFFER_BYTES);
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
    if (m_socket.Drop()) {
        // From the receive thread this only clears the flag: the thread ends
        // when the callback that called us returns.
        Stop(true);
    }
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

void CClientUDP::ResetStream(int nTest) {
    std::lock_guard lock(m_mtxStream);
    if (m_nStreamTest == nTest)
        return;
    m_nStreamTest = nTest;
    ++m_nStreamResets;
    m_streamFigures = {};
}

SUdpFigures CClientUDP::GetStreamFigures() const {
    std::lock_guard lock(m_mtxStream);
    return m_streamFigures;
}

bool CClientUDP::IsOpen() const {
    return GetSocket() != nullptr;
}

void CClientUDP::Run() {
    CDatagramReceiver receiver;
    // The sender's address as text, made only when the sender changes.
    std::string strAddress;
    uint32_t nAddress = 0;
    bool bLastFailed = false;
    // The stream is counted here and handed over once per batch.
    CUdpStreamStats stream;
    uint32_t nResets = m_nStreamResets;
    int nStreamTest = m_nStreamTest;
    while (m_bRun) {
        const auto pSocket = GetSocket();
        if (!pSocket) {
            break;
        }
        const int nReads = receiver.Receive(pSocket->GetHandle());
        CDatagramReceiver::Datagram datagram;
        if (m_nStreamResets != nResets) {
            std::lock_guard lock(m_mtxStream);
            nResets = m_nStreamResets;
            nStreamTest = m_nStreamTest;
            stream.Reset();
        }
        bool bStamped = false;
        // A Close from the callback ends the batch too.
        while (m_bRun && receiver.Next(datagram)) {
            uint32_t nSequence = 0;
            uint64_t nSentUs = 0;
            int nTest = 0;
            if (ReadDownloadStamp(datagram.pData, datagram.nLength, nSequence, nSentUs, nTest) &&
                nStreamTest != 0 && nTest == nStreamTest) {
                stream.Add(nSequence, nSentUs,
                           std::chrono::duration_cast<std::chrono::microseconds>(
                               datagram.arrival.time_since_epoch())
                               .count());
                bStamped = true;
            }
            if (strAddress.empty() || datagram.nAddress != nAddress) {
                nAddress = datagram.nAddress;
                strAddress = AddressText(nAddress);
            }
            m_pfnReceive(datagram.pData, datagram.nLength, strAddress, datagram.nPort,
                         datagram.arrival);
        }
        if (bStamped) {
            std::lock_guard lock(m_mtxStream);
            if (m_nStreamResets == nResets)
                m_streamFigures = stream.Figures();
        }
        // Only Close ends this loop. An empty datagram is valid UDP, and an
        // error here is usually an ICMP report about an earlier send (port
        // unreachable); neither says anything about this socket's future.
        if (GetSocket() != pSocket) {
            break;
        }
        if (nReads < 0) {
            if (bLastFailed) {
                CThread::Sleep(1); // an error that repeats must not spin a core
            }
            bLastFailed = true;
        } else if (nReads > 0) {
            bLastFailed = false;
        }
    }
    m_bRun = false;
}
