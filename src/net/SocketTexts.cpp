#include "net/SocketTexts.h"

std::string SocketErrorMessage(std::uint16_t error) {
  if (error == 0) return {};
  std::string message;
  for (const TSocketErrorText& row : kSocketErrorTexts) {
    if (row.number == error) message = std::to_string(row.number) + ":" + std::string(row.text);
  }
  if (message.empty()) message = std::string(kUnknownErrorPrefix) + std::to_string(error);
  return message;
}
