#include "smtp/MimeBoundary.h"

#include <algorithm>
#include <cstdint>

#include "core/Exceptions.h"
#include "platform/Entropy.h"

namespace mime_boundary {

namespace {

constexpr std::string_view kStart = "==";
/// 26^27 is about 2^127.
constexpr std::size_t kLetters = 27;
/// A byte below this gives a letter; one above would favour the first ones.
constexpr unsigned kFairBytes = 26 * (256 / 26);
constexpr std::string_view kNoRandomBytes = "The system's random generator gave no bytes for the message's boundary";

}  // namespace

std::string Drawn() {
  std::string boundary(kStart);
  while (boundary.size() < kStart.size() + kLetters) {
    std::uint8_t bytes[32];
    if (!platform::SecureRandomBytes(bytes, sizeof bytes)) throw Exception(std::string(kNoRandomBytes));
    for (const std::uint8_t byte : bytes) {
      if (byte < kFairBytes && boundary.size() < kStart.size() + kLetters) boundary += static_cast<char>('a' + byte % 26);
    }
  }
  return boundary;
}

bool Delimits(std::string_view line, const std::vector<std::string>& boundaries) {
  return line.starts_with("--") && std::any_of(boundaries.begin(), boundaries.end(), [line](const std::string& b) {
           return line.substr(2).starts_with(b);
         });
}

TDelimiterWatch::TDelimiterWatch(std::vector<std::string> boundaries) : boundaries_(std::move(boundaries)) {
  for (const std::string& boundary : boundaries_) longest_ = std::max(longest_, boundary.size() + 2);
}

void TDelimiterWatch::Feed(std::string_view block) {
  // Only a line's first bytes count: the rest is passed over to its end.
  for (std::size_t at = 0; at < block.size();) {
    const std::size_t lineEnd = std::min(block.find('\n', at), block.size());
    if (collecting_) {
      head_.append(block.substr(at, std::min(longest_ - head_.size(), lineEnd - at)));
      found_ = found_ || Delimits(head_, boundaries_);
      collecting_ = head_.size() < longest_;
    }
    if (lineEnd == block.size()) return;
    at = lineEnd + 1;
    head_.clear();
    collecting_ = true;
  }
}

void TDelimiterWatch::Restart() {
  head_.clear();
  collecting_ = true;
  found_ = false;
}

}  // namespace mime_boundary
