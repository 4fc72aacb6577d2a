#pragma once
// Overwriting secrets (passwords, access tokens and their encoded forms) as
// soon as they are no longer needed, so that a memory dump or a later reuse
// of the storage does not find them.

#include <cstddef>
#include <string>

/// Overwrites size bytes at data with zeros; the writes are made even where
/// nothing reads the bytes afterwards.
void WipeBytes(void* data, std::size_t size);
/// Overwrites every character of text with a zero, then empties it; its
/// storage stays with it.
void Wipe(std::string& text);

/// Wipes the string it watches when its scope ends, however it ends. Copies
/// of the string made elsewhere are not its concern: a secret is built in
/// storage reserved to its final size, so that no copy is left behind.
class TWipeOnExit {
 public:
  explicit TWipeOnExit(std::string& text) : text_(text) {}
  ~TWipeOnExit() { Wipe(text_); }
  TWipeOnExit(const TWipeOnExit&) = delete;
  TWipeOnExit& operator=(const TWipeOnExit&) = delete;

 private:
  std::string& text_;
};
