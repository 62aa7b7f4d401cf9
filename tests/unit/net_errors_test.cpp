// Every Winsock code gives exactly its symbol, a line feed and its text; the
// POSIX errors that sockets report map to the codes that Winsock would give.
#include "net/socket.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct ErrorCase {
    int nCode;
    const char* pszText;
};

const ErrorCase kErrorTable[] = {
    {6, "WSA_INVALID_HANDLE\nSpecified event object handle is invalid"},
    {8, "WSA_NOT_ENOUGH_MEMORY\nInsufficient memory available"},
    {87, "WSA_INVALID_PARAMETER\nOne or more parameters are invalid"},
    {995, "WSA_OPERATION_ABORTED\nOverlapped operation aborted"},
    {996, "WSA_IO_INCOMPLETE\nOverlapped I/O event object not in signaled state"},
    {997, "WSA_IO_PENDING\nOverlapped operations will complete later"},
    {10004, "WSAEINTR\nInterrupted function call"},
    {10013, "WSAEACCES\nPermission Denied: Access in use"},
    {10014, "WSAEFAULT\nBad address"},
    {10022, "WSAEINVAL\nInvalid argument"},
    {10024, "WSAEMFILE\nToo many open files"},
    {10035, "WSAEWOULDBLOCK\nResource temporarily unavailable"},
    {10036, "WSAEINPROGRESS\nOperation now in progress"},
    {10037, "WSAEALREADY\nOperation already in progress"},
    {10038, "WSAENOTSOCK\nSocket operation on nonsocket"},
    {10039, "WSAEDESTADDRREQ\nDestination address required"},
    {10040, "WSAEMSGSIZE\nMessage too long"},
    {10041, "WSAEPROTOTYPE\nProtocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT\nBad protocol option"},
    {10043, "WSAEPROTONOSUPPORT\nProtocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT\nSocket type not supported"},
    {10045, "WSAEOPNOTSUPP\nOperation not supported"},
    {10046, "WSAEPFNOSUPPORT\nProtocol family not supported"},
    {10047, "WSAEAFNOSUPPORT\nAddress family not supported by protocol family"},
    {10048, "WSAEADDRINUSE\nAddress already in use"},
    {10049, "WSAEADDRNOTAVAIL\nCannot assign requested address"},
    {10050, "WSAENETDOWN\nNetwork is down"},
    {10051, "WSAENETUNREACH\nNetwork is unreachable"},
    {10052, "WSAENETRESET\nNetwork dropped connection on reset"},
    {10053, "WSAECONNABORTED\nSoftware caused connection abort"},
    {10054, "WSAECONNRESET\nConnection reset by peer"},
    {10055, "WSAENOBUFS\nNo buffer space available"},
    {10056, "WSAEISCONN\nSocket is already connected"},
    {10057, "WSAENOTCONN\nSocket is not connected"},
    {10058, "WSAESHUTDOWN\nCannot send after socket shutdown"},
    {10060, "WSAETIMEDOUT\nConnection timed out"},
    {10061, "WSAECONNREFUSED\nConnection refused"},
    {10064, "WSAEHOSTDOWN\nHost is down"},
    {10065, "WSAEHOSTUNREACH\nNo route to host"},
    {10067, "WSAEPROCLIM\nToo many processes"},
    {10091, "WSASYSNOTREADY\nNetwork subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED\nWinsock.dll version out of range"},
    {10093, "WSANOTINITIALISED\nSuccessful WSAStartup not yet performed"},
    {10101, "WSAEDISCON\nGraceful shutdown in progress"},
    {10107, "WSASYSCALLFAILURE\nSystem call failure"},
    {10109, "WSATYPE_NOT_FOUND\nClass type not found"},
    {11001, "WSAHOST_NOT_FOUND\nHost not found"},
    {11002, "WSATRY_AGAIN\nNonauthoritative host not found"},
    {11003, "WSANO_RECOVERY\nThis is a nonrecoverable error"},
    {11004, "WSANO_DATA\nValid name, no data record of requested type"},
};

TEST(WinsockErrorText, EveryCodeOfTheTableGivesItsTextAndKeepsTheCode) {
    ASSERT_EQ(std::size(kErrorTable), 50u);
    for (const ErrorCase& c : kErrorTable) {
        WSASetLastError(c.nCode);
        EXPECT_EQ(GetWinsockErrorText(), c.pszText) << "code " << c.nCode;
        EXPECT_EQ(WSAGetLastError(), c.nCode) << "a known code is left pending";
    }
}

TEST(WinsockErrorText, ZeroAndUnknownCodesGiveEmptyTextAndResetTheError) {
    for (int nCode : {0, 1, 10059, 10062, 11005, -1, 99999}) {
        WSASetLastError(nCode);
        EXPECT_EQ(GetWinsockErrorText(), "") << "code " << nCode;
        EXPECT_EQ(WSAGetLastError(), 0) << "code " << nCode;
    }
}

TEST(WinsockErrorText, LastErrorIsKeptPerThread) {
    WSASetLastError(10061);
    int nOther = -1;
    std::thread([&] { nOther = WSAGetLastError(); }).join();
    EXPECT_EQ(nOther, 0);
    EXPECT_EQ(WSAGetLastError(), 10061);
}

TEST(WinsockErrorText, PosixErrorsMapToWinsockCodes) {
    const std::pair<int, int> kMap[] = {
        {ECONNREFUSED, 10061},    {ENOTCONN, 10057},      {EOPNOTSUPP, 10045},
        {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ETIMEDOUT, 10060},
        {ENETUNREACH, 10051},     {EHOSTUNREACH, 10065},  {ECONNRESET, 10054},
        {ECONNABORTED, 10053},    {EACCES, 10013},        {EPERM, 10013},
        {EINVAL, 10022},          {EBADF, 10038},         {ENOTSOCK, 10038},
        {EMFILE, 10024},          {ENOBUFS, 10055},       {EAFNOSUPPORT, 10047},
        {EPROTONOSUPPORT, 10043}, {EMSGSIZE, 10040},      {EISCONN, 10056},
        {EALREADY, 10037},        {EINPROGRESS, 10036},   {EWOULDBLOCK, 10035},
        {EINTR, 10004},           {EFAULT, 10014},        {EDESTADDRREQ, 10039},
        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},   {ENETDOWN, 10050},
        {EHOSTDOWN, 10064},
    };
    for (const auto& [nErrno, nCode] : kMap) {
        EXPECT_EQ(WinsockCodeFromErrno(nErrno), nCode) << "errno " << nErrno;
        SetLastErrorFromErrno(nErrno);
        EXPECT_FALSE(GetWinsockErrorText().empty()) << "errno " << nErrno << " has no text";
    }
}

} // namespace
