#include "net/SocketTexts.h"

namespace {

const TSocketErrorText* RowOf(std::uint16_t error) {
  for (const TSocketErrorText& row : kSocketErrorTexts) {
    if (row.number == error) return &row;
  }
  return nullptr;
}

}  // namespace

std::string SocketErrorMessage(std::uint16_t error) {
  if (error == 0) return {};
  const TSocketErrorText* row = RowOf(error);
  return row ? std::to_string(row->number) + ":" + std::string(row->text) : SocketErrorText(error);
}

std::string SocketErrorText(std::uint16_t error) {
  const TSocketErrorText* row = RowOf(error);
  return row ? std::string(row->text) : std::string(kUnknownErrorPrefix) + std::to_string(error);
}
