#include "core/Secrets.h"

#include <algorithm>

#include "core/Wipe.h"

void TSecretList::Add(std::string_view secret) {
  if (secret.empty() || std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end()) return;
  const auto shorter =
      std::find_if(secrets_.begin(), secrets_.end(), [&](const std::string& held) { return held.size() < secret.size(); });
  secrets_.emplace(shorter, secret);
}

std::string TSecretList::Redacted(std::string_view text) const {
  if (secrets_.empty()) return std::string(text);
  // One pass, so that the marks put in are never searched again.
  std::string shown;
  shown.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto found = std::find_if(secrets_.begin(), secrets_.end(),
                                    [&](const std::string& secret) { return text.substr(at).starts_with(secret); });
    if (found == secrets_.end()) {
      shown += text[at++];
    } else {
      shown += kRedacted;
      at += found->size();
    }
  }
  return shown;
}

void TSecretList::Clear() {
  for (std::string& secret : secrets_) Wipe(secret);
  secrets_.clear();
}
