#include "net/Winsock.h"

#include <string>

namespace {

std::int32_t g_winsock_users = 0;  // GUI thread only, like every window message

std::string VersionText(std::uint16_t version) {
  return std::to_string(version & 0xFF) + "." + std::to_string(version >> 8);
}

}  // namespace

void WinsockStartup(platform::SocketsStartupData& data, TStringList& info) {
  if (++g_winsock_users != 1) return;
  // Not tested here: a failed start-up shows when the first socket is made.
  platform::StartupSockets(data);
  info.Add("Version= " + VersionText(data.version));
  info.Add("High Version= " + VersionText(data.highVersion));
  info.Add("Description= " + data.description);
  info.Add("System= " + data.systemStatus);
  info.Add("Max Sockets= " + std::to_string(data.maxSockets));
  info.Add("Max Udp pack size= " + std::to_string(data.maxUdpDatagram));
}

void WinsockCleanup() {
  if (--g_winsock_users == 0) platform::CleanupSockets();
}

std::int32_t WinsockUsers() { return g_winsock_users; }
