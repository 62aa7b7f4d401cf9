// Socket layer: one socket handle behind the Winsock contract that the rest of
// the program relies on (bool results, two-line error texts, one call per
// operation). The platform's calls live in socket_posix.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Winsock codes that the layer and its owners report of their own accord.
constexpr int WSAEINTR = 10004;
constexpr int WSAEACCES = 10013;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSASYSCALLFAILURE = 10107;

// Socket types for CreateSocket, numbered as the platform numbers them.
constexpr int SOCKET_TYPE_STREAM = 1;
constexpr int SOCKET_TYPE_DGRAM = 2;
constexpr int SOCKET_TYPE_RAW = 3;

// The calling thread's last Winsock error code; kept per thread.
int WSAGetLastError();
void WSASetLastError(int nError);
// The text of one code, as GetWinsockErrorText gives it; also makes that
// code the thread's last error.
std::string WinsockErrorText(int nCode);

// Records a POSIX errno (or resolver code) as the thread's last Winsock error.
void SetLastErrorFromErrno(int nErrno);
int WinsockCodeFromErrno(int nErrno);

// Symbol, line feed and description of the thread's last Winsock error; an
// unknown code or 0 gives an empty text and resets the last error to 0.
std::string GetWinsockErrorText();

// A new IPv4 socket of the given type (protocol 0), or INVALID_SOCKET with
// the thread's last error set.
SOCKET CreateSocket(int nType);

// The local address this machine sends from to reach the dotted address (the
// source of its route), or "" when no route leads there. Nothing is sent.
std::string GetSourceAddressTo(const std::string& strAddress);

// Dotted IPv4 text as the classic converter (inet_addr) reads it, in network
// byte order: "1.2.3" is 1.2.0.3, and text that is no address ("foo", "")
// gives the broadcast address ADDRESS_NONE, as "255.255.255.255" does.
uint32_t InetAddr(const std::string& strAddress);
constexpr uint32_t ADDRESS_NONE = 0xFFFFFFFF;

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

    std::atomic<bool> m_bConnected{false}; // read by other threads while a connect runs
    mutable std::mutex m_mtxText; // guards m_strAddress, m_nPort and m_strError
    std::string m_strAddress;
    uint16_t m_nPort = 0;
    uint16_t m_nBacklog = 10;
    int32_t m_nMaxConnections = 0;
    std::string m_strError;
};

// One object may be used by several threads at once (a receive blocked on
// one, sends on others). Close from any thread wakes every call blocked on
// the socket (as does Shutdown, which keeps the descriptor); the descriptor
// itself is released once, by its last user: each call holds it, through a
// shared pointer, for its length. Owners that share the object between
// threads hold it through CSharedSocket in the same way.
class CSocket final : public ISocket {
public:
    CSocket();
    explicit CSocket(SOCKET hSocket);
    // A socket object on a new IPv4 socket of the given type. When none can
    // be made, every operation on the object fails with the reason
    // (WSAEMFILE when out of descriptors), not with WSAENOTSOCK.
    static std::unique_ptr<CSocket> Create(int nType);
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

    // Connect, giving up after nTimeoutMs with WSAETIMEDOUT. Shutdown from
    // another thread, before or during the connect, cancels it at once: it
    // then fails with WSAEINTR.
    // Connect itself is this without a bound of its own.
    bool ConnectWithin(const std::string& strAddress, uint16_t nPort, uint32_t nTimeoutMs);
    // 1 once the socket has room for a send (or has failed: the send then
    // says how), 0 when none came within nWaitMs, -1 on failure; the
    // thread's last error is set on failure.
    int WaitForRoom(uint32_t nWaitMs);
    // Sends what the socket takes now without blocking, first waiting up to
    // nWaitMs for room when it is full: bytes sent, 0 when none fitted in
    // time, -1 when the connection has failed (the thread's last error set).
    int SendAvailable(const void* pData, int nLength, uint32_t nWaitMs);
    // Sends all nLength bytes within nWaitMs in all: nLength, or -1 with the
    // thread's last error set (WSAETIMEDOUT when the peer did not make room
    // in time; a part may then have gone).
    int SendWithin(const void* pData, int nLength, uint32_t nWaitMs);
    // Connect, Bind and SendTo read address text as InetAddr does, and fail
    // with WSAEADDRNOTAVAIL on ADDRESS_NONE (text that is no address; Bind
    // takes empty text as any local address).
    int SendTo(const void* pData, int nLength, const std::string& strAddress, uint16_t nPort);
    int ReceiveFrom(void* pBuffer, int nSize, std::string& strAddress, uint16_t& nPort);
    bool SetOption(int nLevel, int nOption, int32_t nValue);
    bool GetOption(int nLevel, int nOption, int32_t& nValue);
    bool IoControl(unsigned long nCommand, uint32_t nArgument);
    bool Accept();
    bool IsConnected() const { return m_bConnected; }
    std::string GetLastErrorText() const {
        std::lock_guard lock(m_mtxText);
        return m_strError;
    }

    // Wakes every call blocked on this socket (receive, send, a connect in
    // progress) from any thread without releasing the descriptor; records
    // nothing. Owners that share a socket between threads call it before
    // dropping their reference, so the descriptor is released only once no
    // thread can still be using it.
    void Shutdown();

    // The descriptor, for the platform's own calls; valid for as long as the
    // socket is not closed.
    SOCKET GetHandle() const;
    SOCKET GetAcceptedHandle() const { return m_hAccepted; }
    uint16_t GetPort() const {
        std::lock_guard lock(m_mtxText);
        return m_nPort;
    }
    std::string GetAddress() const {
        std::lock_guard lock(m_mtxText);
        return m_strAddress;
    }
    void SetBacklog(uint16_t nBacklog) { m_nBacklog = nBacklog; }
    void SetMaxConnections(int32_t nMax) { m_nMaxConnections = nMax; }
    int32_t GetMaxConnections() const { return m_nMaxConnections; }

private:
    class CDescriptor; // closes the descriptor when its last user lets go
    class CHold;       // one call's hold on the descriptor
    std::shared_ptr<CDescriptor> GetDescriptor() const;

    void RecordError() { SetErrorText(GetWinsockErrorText()); }
    void SetErrorText(std::string strError);
    void SetPeer(std::string strAddress, uint16_t nPort);
    // Sets the thread's last error from a failed call's errno; a call on a
    // socket that could not be made reports why it could not.
    void SetLastError(int nErrno) const;
    int WaitForConnect(SOCKET hSocket, uint32_t nTimeoutMs) const;

    mutable std::mutex m_mtxDescriptor; // guards the pointer, not the calls on the descriptor
    std::shared_ptr<CDescriptor> m_pDescriptor; // null once closed, and without a socket
    std::atomic<bool> m_bShutdown{false};
    int m_nCreateError = 0; // why Create made no socket (a Winsock code), else 0
    SOCKET m_hAccepted = INVALID_SOCKET;
};
