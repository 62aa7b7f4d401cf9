// Socket layer: one socket handle behind the Winsock contract that the rest of
// the program relies on (bool results, two-line error texts, one call per
// operation). The platform's calls live in socket_posix.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Socket types for CreateSocket, numbered as the platform numbers them.
constexpr int SOCKET_TYPE_STREAM = 1;
constexpr int SOCKET_TYPE_DGRAM = 2;
constexpr int SOCKET_TYPE_RAW = 3;

// The calling thread's last Winsock error code; kept per thread.
int WSAGetLastError();
void WSASetLastError(int nError);

// Records a POSIX errno (or resolver code) as the thread's last Winsock error.
void SetLastErrorFromErrno(int nErrno);
int WinsockCodeFromErrno(int nErrno);

// Symbol, line feed and description of the thread's last Winsock error; an
// unknown code or 0 gives an empty text and resets the last error to 0.
std::string GetWinsockErrorText();

// A new IPv4 socket of the given type (protocol 0), or INVALID_SOCKET with
// the thread's last error set.
SOCKET CreateSocket(int nType);

class ISocket {
public:
    virtual void OnConnected() = 0;
    virtual void OnDisconnected() = 0;
    virtual bool Connect(const std::string& strAddress, uint16_t nPort) = 0;
    virtual bool Bind(uint16_t nPort) = 0;
    virtual bool Bind(const std::string& strAddress, uint16_t nPort) = 0;
    virtual bool Close() = 0;
    virtual int Send(const void* pData, int nLength) = 0;
    virtual int Receive(void* pBuffer, int nSize) = 0;
    virtual std::string GetHostAddress(const std::string& strName) = 0;
    virtual std::string GetHostName(const std::string& strAddress) = 0;
    virtual std::string GetLocalHostName() = 0;
    virtual std::string GetLocalAddresses() = 0;
    virtual std::string GetPeerAddress() = 0;

protected:
    ISocket() = default;
    ~ISocket() = default;

    bool m_bConnected = false;
    std::string m_strAddress;
    uint16_t m_nPort = 0;
    uint16_t m_nBacklog = 10;
    int32_t m_nMaxConnections = 0;
    std::string m_strError;
};

class CSocket final : public ISocket {
public:
    CSocket();
    explicit CSocket(SOCKET hSocket);
    // Always releases the descriptor, even when the half-close fails.
    ~CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    void OnConnected() override;
    void OnDisconnected() override;
    bool Connect(const std::string& strAddress, uint16_t nPort) override;
    bool Bind(uint16_t nPort) override;
    bool Bind(const std::string& strAddress, uint16_t nPort) override;
    bool Close() override;
    int Send(const void* pData, int nLength) override;
    int Receive(void* pBuffer, int nSize) override;
    std::string GetHostAddress(const std::string& strName) override;
    std::string GetHostName(const std::string& strAddress) override;
    std::string GetLocalHostName() override;
    std::string GetLocalAddresses() override;
    std::string GetPeerAddress() override;

    int SendTo(const void* pData, int nLength, const std::string& strAddress, uint16_t nPort);
    int ReceiveFrom(void* pBuffer, int nSize, std::string& strAddress, uint16_t& nPort);
    bool SetOption(int nLevel, int nOption, int32_t nValue);
    bool GetOption(int nLevel, int nOption, int32_t& nValue);
    bool IoControl(unsigned long nCommand, uint32_t nArgument);
    bool Accept();
    bool IsConnected() const { return m_bConnected; }
    std::string GetLastErrorText() const { return m_strError; }

    // Wakes every call blocked on this socket (receive, send) from any thread
    // without releasing the descriptor; records nothing. Owners that share a
    // socket between threads call it before dropping their reference, so the
    // descriptor is released only once no thread can still be using it.
    void Shutdown();

    SOCKET GetHandle() const { return m_hSocket; }
    SOCKET GetAcceptedHandle() const { return m_hAccepted; }
    uint16_t GetPort() const { return m_nPort; }
    std::string GetAddress() const { return m_strAddress; }
    void SetBacklog(uint16_t nBacklog) { m_nBacklog = nBacklog; }
    void SetMaxConnections(int32_t nMax) { m_nMaxConnections = nMax; }
    int32_t GetMaxConnections() const { return m_nMaxConnections; }

private:
    class CInUse;
    void RecordError() { m_strError = GetWinsockErrorText(); }

    // Another thread may close while a call blocks: the handle is taken out
    // atomically and released only once no call is using it any more.
    std::atomic<SOCKET> m_hSocket{INVALID_SOCKET};
    std::atomic<int> m_nInUse{0};
    SOCKET m_hAccepted = INVALID_SOCKET;
};
