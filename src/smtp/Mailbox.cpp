#include "smtp/Mailbox.h"

#include <algorithm>
#include <iterator>

#include "core/AsciiCase.h"
#include "net/Tidewire.h"

namespace mailbox {

std::string Extract(const std::string& entry) {
  std::string mailbox = entry;
  if (entry.find('<') != std::string::npos) {
    std::string field;
    TTidewire::ExtractField(entry, '<', 2, field);
    TTidewire::ExtractField(field, '>', 1, mailbox);
  } else if (entry.find(':') != std::string::npos) {
    TTidewire::ExtractField(entry, ':', 2, mailbox);
  }
  // "Bob: bob@example.com" has a blank before the mailbox, and a line may
  // have more around it; a path has none (RFC 5321), and strict servers
  // refuse "RCPT TO:< bob@example.com>".
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  const auto first = std::find_if_not(mailbox.begin(), mailbox.end(), blank);
  const auto last = std::find_if_not(mailbox.rbegin(), std::make_reverse_iterator(first), blank).base();
  return std::string(first, last);
}

std::string Key(const std::string& mailbox) {
  // The last "@" starts the domain: a quoted local part may hold one.
  const size_t at = mailbox.rfind('@');
  if (at == std::string::npos) return mailbox;
  return mailbox.substr(0, at + 1) + AsciiLowered(std::string_view(mailbox).substr(at + 1));
}

}  // namespace mailbox
