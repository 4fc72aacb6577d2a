#pragma once
// The secrets of a run (passwords, access tokens and the encoded forms that
// carry them) that no text shown or written may hold: every outlet passes
// its texts through the list, which puts "***" in each secret's place.

#include <list>
#include <string>
#include <string_view>

/// What a redacted secret shows as.
inline constexpr std::string_view kRedacted = "***";

/// A list of secrets and the redaction of texts by it. Owns a copy of each
/// secret, made in storage of its size and wiped when the list is cleared
/// or destroyed. Owned by the component whose texts it redacts; any code
/// that learns a secret may add it.
class TSecretList {
 public:
  TSecretList() = default;
  ~TSecretList() { Clear(); }
  TSecretList(const TSecretList&) = delete;
  TSecretList& operator=(const TSecretList&) = delete;

  /// Adds a copy of secret; an empty one, or one the list holds, adds nothing.
  void Add(std::string_view secret);
  /// text with every occurrence of every secret replaced by kRedacted, the
  /// longest secrets first (one may hold another).
  std::string Redacted(std::string_view text) const;
  /// Wipes and forgets every secret.
  void Clear();
  bool Empty() const { return secrets_.empty(); }

 private:
  // A list: its entries never move, so no copy of a secret is left behind
  // in memory freed by a reallocation. Longest first.
  std::list<std::string> secrets_;
};
