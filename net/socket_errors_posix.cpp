// The POSIX errno of a failed call as the Winsock code that callers expect.
#include "net/socket.h"

#include <cerrno>
#include <utility>

namespace {

constexpr std::pair<int, int> g_codes[] = {
    {0, 0},                   {EINTR, 10004},         {EACCES, 10013},
    {EPERM, 10013},           {EFAULT, 10014},        {EINVAL, 10022},
    {EMFILE, 10024},          {ENFILE, 10024},        {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10036},     {EALREADY, 10037},      {EBADF, 10038},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},   {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},   {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},    {ENOBUFS, 10055},
    {ENOMEM, 10055},          {EISCONN, 10056},       {ENOTCONN, 10057},
    {EPIPE, 10058},           {ESHUTDOWN, 10058},     {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065},
};

} // namespace

int WinsockCodeFromErrno(int nErrno) {
    for (const auto& [nFrom, nCode] : g_codes) {
        if (nFrom == nErrno) {
            return nCode;
        }
    }
    return WSASYSCALLFAILURE; // no closer Winsock code: "System call failure"
}
