#pragma once
// The token file as a test reads it: the text the program wrote, with the
// tokens that Windows seals for the user opened, so that one check holds
// on every system.

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "platform/Crypto.h"
#include "test_support/TempDir.h"

/// The file at path with its sealed tokens opened, in the program's own
/// layout (indented by two); the file as it is when it is no JSON.
inline std::string TokenFileText(const std::string& path) {
  const std::string text = TempDir::Read(path);
  nlohmann::ordered_json json = nlohmann::ordered_json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return text;
  bool sealed = false;
  for (const char* field : {"refresh_token", "access_token"}) {
    const auto found = json.find(field);
    if (found == json.end() || !found->is_string()) continue;
    const std::string value = found->get<std::string>();
    if (value.rfind("dpapi:", 0) != 0) continue;
    *found = platform::UnsealForUser(std::string_view(value).substr(6)).value_or("(sealed elsewhere)");
    sealed = true;
  }
  return sealed ? json.dump(2) + "\n" : text;
}
