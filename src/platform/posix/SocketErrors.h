#pragma once
// POSIX failures told as WinSock error numbers, and the calling thread's
// last socket error.

namespace platform::posix {

/// The WinSock number for errnoValue (10045, operation not supported, when
/// WinSock has no counterpart: an unknown failure must still count as one).
int WinsockErrorOf(int errnoValue);
/// The WinSock number for a getaddrinfo result (errnoValue for EAI_SYSTEM).
int WinsockErrorOfLookup(int lookupError, int errnoValue);

void SetLastSocketError(int winsockError);
/// Records errno as the last socket error and returns kSocketError.
int FailWithErrno();

}  // namespace platform::posix
