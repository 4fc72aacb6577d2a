#pragma once
// The counted, process-wide start-up and clean-up of the sockets library:
// the first socket component starts it, the last one destroyed ends it.

#include <cstdint>

#include "core/StringList.h"
#include "platform/Sockets.h"

/// Counts one more user; the first user starts the library into data and
/// gets the six description lines in info (later users get none).
void WinsockStartup(platform::SocketsStartupData& data, TStringList& info);
/// Counts one user less; the last one ends the library.
void WinsockCleanup();
/// How many users the library has now (used on the GUI thread only).
std::int32_t WinsockUsers();
