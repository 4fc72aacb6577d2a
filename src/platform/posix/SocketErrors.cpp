#include "platform/posix/SocketErrors.h"

#include <netdb.h>

#include <cerrno>

#include "platform/Sockets.h"

namespace platform {
namespace posix {
namespace {

struct ErrorPair {
  int errnoValue;
  int winsockError;
};

// The WinSock numbers are 10000 plus the BSD errno of the same meaning;
// Linux numbers its errno values differently, so each is paired by name.
// A few Linux-only values join the WinSock number closest in meaning.
constexpr ErrorPair kErrorNumbers[] = {
    {EINTR, 10004},        {EBADF, 10009},         {EACCES, 10013},       {EPERM, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},        {EMFILE, 10024},       {ENFILE, 10024},
    {EWOULDBLOCK, 10035},  {EAGAIN, 10035},        {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},     {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},  {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},     {ENETUNREACH, 10051},   {ENETRESET, 10052},    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},       {ENOMEM, 10055},       {EISCONN, 10056},
    {ENOTCONN, 10057},     {ESHUTDOWN, 10058},     {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},         {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},     {EUSERS, 10068},       {EDQUOT, 10069},
    {ESTALE, 10070},       {EREMOTE, 10071},
#ifdef EPROCLIM
    {EPROCLIM, 10067},
#endif
    // Writing after the peer reset the connection (only the peer can end a
    // connection here: the layer offers no shutdown of its own side).
    {EPIPE, 10054},
};

constexpr int kUnsupported = 10045;
constexpr int kNoBufferSpace = 10055;
constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;

thread_local int lastSocketError = 0;

}  // namespace

int WinsockErrorOf(int errnoValue) {
  for (const ErrorPair& pair : kErrorNumbers) {
    if (pair.errnoValue == errnoValue) return pair.winsockError;
  }
  return kUnsupported;
}

int WinsockErrorOfLookup(int lookupError, int errnoValue) {
  switch (lookupError) {
    case 0:
      return 0;
    case EAI_NONAME:
      return kHostNotFound;
    case EAI_AGAIN:
      return kTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return kNoData;
#endif
    case EAI_MEMORY:
      return kNoBufferSpace;
    case EAI_SYSTEM:
      return WinsockErrorOf(errnoValue);
    default:
      return kNoRecovery;
  }
}

void SetLastSocketError(int winsockError) { lastSocketError = winsockError; }

int FailWithErrno() {
  lastSocketError = WinsockErrorOf(errno);
  return kSocketError;
}

}  // namespace posix

int LastSocketError() { return posix::lastSocketError; }

void SetLastSocketError(int error) { posix::SetLastSocketError(error); }

}  // namespace platform
