// unseal.exe <base64>: prints the secret that the program sealed for the
// user (a token of a token file on Windows), so that the end-to-end tests
// under Wine can read what a run kept. Exit 1 when it cannot be opened.

#include <cstdio>
#include <optional>
#include <string>

#include "platform/Crypto.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::optional<std::string> secret = platform::UnsealForUser(argv[1]);
  if (!secret) return 1;
  std::fwrite(secret->data(), 1, secret->size(), stdout);
  return 0;
}
