// The node's socket calls beyond CSocket: non-blocking transfers, waits on
// several sockets, the send queue, batched datagrams and the stop signals.
// The platform's calls live in socket_io_posix.cpp.
#pragma once

#include "net/socket.h"

#include <cstdint>
#include <string>

namespace NodeIo {

// Transfer results besides a byte count.
constexpr int IO_WOULD_BLOCK = -2;
constexpr int IO_ERROR = -1;

// IPv4 address in network order, as the datagram calls take it.
using ADDRESS = uint32_t;
bool AddressFromText(const std::string& strText, ADDRESS& nAddress);
std::string TextFromAddress(ADDRESS nAddress);

bool SetNonBlocking(SOCKET hSocket);
bool SetReuseAddress(SOCKET hSocket);
// Small messages go out at once, and only a small part of the download
// waits unsent in the kernel, so that stopping it drains quickly.
void TuneSessionSocket(SOCKET hSocket, int nUnsentLimit);
// Lets the kernel probe a connection once the peer has been silent for
// nIdleSeconds, then every second, and end it once the peer's host has
// answered nothing for nGiveUpSeconds: a peer that vanished is noticed even
// while nothing is sent to it, and also while sent data waits for its
// acknowledgement (when no probe goes out).
void EnableKeepAlive(SOCKET hSocket, int nIdleSeconds, int nGiveUpSeconds);
// Changes how many unsent bytes a stream socket takes before a send stops
// and a wait for writing blocks (where the platform can limit it).
void SetUnsentLimit(SOCKET hSocket, int nUnsentLimit);
// Lets several sockets of this program share one UDP port, the kernel
// spreading the senders over them (each sender stays with one socket).
bool SetSharedPort(SOCKET hSocket);
// Room for bursts of uploaded datagrams (beyond the system's usual limit
// where the node may raise it), each datagram's own destination address
// reported with it, and, where the kernel offers it, a batch that a sender
// sent with segmentation offload kept whole instead of split into datagrams.
void TuneDatagramSocket(SOCKET hSocket);
bool GetPeer(SOCKET hSocket, ADDRESS& nAddress, uint16_t& nPort);
uint16_t GetLocalPort(SOCKET hSocket);
// Bytes sent on a stream socket that the peer has not acknowledged yet,
// or -1 when the platform cannot tell.
int GetUnacknowledged(SOCKET hSocket);

// Non-blocking: bytes moved, 0 for a closed stream (receive), IO_WOULD_BLOCK
// or IO_ERROR (with the thread's last error set).
int ReceiveSome(SOCKET hSocket, void* pBuffer, int nSize);
int SendSome(SOCKET hSocket, const void* pData, int nLength);

// Bytes that a stream socket can send without copying them each time (a
// file in memory that holds them): INVALID_SOCKET where the platform has
// none. Many threads may send from one source at once; it never changes.
SOCKET CreateSendSource(const void* pData, int nSize);
void CloseSendSource(SOCKET hSource);
// As SendSome, with the source's first nLength bytes.
int SendFromSource(SOCKET hSocket, SOCKET hSource, int nLength);

// One socket to wait on, and what it turned out to be ready for.
struct SWait {
    SOCKET hSocket = INVALID_SOCKET;
    bool bRead = false;
    bool bWrite = false;
    bool bReadable = false; // data, end of stream or an error
    bool bWritable = false;
};
// Waits up to nTimeoutMs (0: just looks) for any of them; false on failure.
bool Wait(SWait* pWaits, int nCount, int nTimeoutMs);

// Sends nCount datagrams of nLength bytes, laid one after another at pData,
// to nAddress:nPort in as few calls as
// the platform allows, without blocking: as one segmentation-offload send
// while bSegmentation holds (cleared where the path refuses it), else one
// message per datagram. Datagrams sent, IO_WOULD_BLOCK or IO_ERROR.
int SendDatagrams(SOCKET hSocket, const void* pData, int nLength, ADDRESS nAddress, uint16_t nPort,
                  int nCount, bool& bSegmentation);

// A batch of received reads, counted, not copied: each read is one datagram
// or, with receive offload, a run of datagrams from one sender. Per read its
// payload bytes (whole, however large), its datagrams, the sender and the
// address it was sent to (0 where the platform does not tell).
struct SDatagramBatch {
    static constexpr int MAX_READS = 64;
    int nCount = 0; // reads
    int nBytes[MAX_READS] = {};
    int nDatagrams[MAX_READS] = {};
    ADDRESS nSender[MAX_READS] = {};
    uint16_t nSenderPort[MAX_READS] = {};
    ADDRESS nReceiver[MAX_READS] = {};
};
// Takes whatever datagrams are waiting, without blocking; false on failure.
bool ReceiveDatagrams(SOCKET hSocket, SDatagramBatch& batch);

// A descriptor that one thread makes readable (Wake) to end another's Wait
// on it at once; INVALID_SOCKET when none could be made.
SOCKET CreateWake();
void Wake(SOCKET hWake);
void CloseWake(SOCKET hWake);

// Opens the null device on any of the three standard descriptors that is
// closed, so that no socket ever gets one of their numbers.
void ReserveStandardDescriptors();

// SIGINT and SIGTERM make the returned descriptor readable instead of
// ending the process; INVALID_SOCKET when that cannot be arranged.
SOCKET InstallStopSignals();

} // namespace NodeIo
