#include "smtp/Capabilities.h"

#include <algorithm>
#include <limits>

namespace {

constexpr size_t kCodeLength = 4;  // "250-" or "250 "

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

/// The words of text, cut at blanks and tabs.
std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    const size_t blank = text.find_first_of(" \t", start);
    const size_t end = blank == std::string_view::npos ? text.size() : blank;
    if (end > start) words.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

/// The decimal number word, 0 when it is none or does not fit 64 bits.
std::uint64_t SizeOf(const std::string& word) {
  std::uint64_t value = 0;
  for (const char c : word) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (c < '0' || c > '9' || value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

void AddMechanism(TSmtpCapabilities& capabilities, const std::string& word) {
  const std::string mechanism = Upper(word);
  auto& mechanisms = capabilities.AuthMechanisms;
  if (!mechanism.empty() && std::find(mechanisms.begin(), mechanisms.end(), mechanism) == mechanisms.end()) {
    mechanisms.push_back(mechanism);
  }
}

}  // namespace

bool TSmtpCapabilities::OffersAuth(std::string_view mechanism) const {
  return std::find(AuthMechanisms.begin(), AuthMechanisms.end(), Upper(mechanism)) != AuthMechanisms.end();
}

TSmtpCapabilities TSmtpCapabilities::FromEhloReply(const std::vector<std::string>& lines) {
  TSmtpCapabilities capabilities;
  capabilities.Extended = true;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view text(lines[i]);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (text.size() <= kCodeLength) continue;
    const std::vector<std::string> words = Words(text.substr(kCodeLength));
    if (words.empty()) continue;
    const std::string keyword = Upper(words[0]);
    if (keyword == "STARTTLS") {
      capabilities.StartTls = true;
    } else if (keyword == "AUTH" || keyword.rfind("AUTH=", 0) == 0) {
      capabilities.Auth = true;
      if (keyword != "AUTH") AddMechanism(capabilities, keyword.substr(5));
      for (size_t w = 1; w < words.size(); ++w) AddMechanism(capabilities, words[w]);
    } else if (keyword == "SIZE") {
      capabilities.Size = true;
      capabilities.SizeLimit = words.size() > 1 ? SizeOf(words[1]) : 0;
    } else if (keyword == "8BITMIME") {
      capabilities.EightBitMime = true;
    } else if (keyword == "PIPELINING") {
      capabilities.Pipelining = true;
    } else if (keyword == "DSN") {
      capabilities.Dsn = true;
    }
  }
  return capabilities;
}
