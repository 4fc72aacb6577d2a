#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TokenFileText.h"
#include "oauth/OAuthErrors.h"
#include "oauth/TokenFile.h"
#include "platform/Crypto.h"
#include "test_support/TempDir.h"

namespace {

using oauth::TTokenFile;

TEST(TokenFile, EveryFaultIsAnUnusableSettingNamingIt) {
  TempDir dir;
  const std::string valid = R"("token_endpoint": "https://e/token", "client_id": "c")";
  const struct {
    const char* name;
    std::string content;  // none: the file is missing
    std::string error;    // %s: the file's path
  } cases[] = {
      {"missing", "", "The token file %s cannot be read."},
      // The parser's own message would quote the secret it stopped at.
      {"not JSON", R"({"refresh_token": "s3cret-refresh" "x"})",
       "The token file %s is not JSON: it breaks off at byte 38."},
      {"no object", "[1, 2]", "The token file %s holds no JSON object."},
      {"no token endpoint", R"({"client_id": "c"})", "The token file %s lacks \"token_endpoint\"."},
      {"empty client id", R"({"token_endpoint": "https://e/token", "client_id": ""})",
       "The token file %s lacks \"client_id\"."},
      {"endpoint in clear", R"({"token_endpoint": "http://e/token", "client_id": "c"})",
       "In the token file %s, \"token_endpoint\" is no https address: http://e/token"},
      {"device endpoint in clear", "{" + valid + R"(, "device_authorization_endpoint": "http://e/device"})",
       "In the token file %s, \"device_authorization_endpoint\" is no https address: http://e/device"},
      {"scope no text", "{" + valid + R"(, "scope": ["a"]})", "In the token file %s, \"scope\" is no text."},
      {"expiry no number", "{" + valid + R"(, "expires_at": "soon"})",
       "In the token file %s, \"expires_at\" is no number."},
      {"unknown grant", "{" + valid + R"(, "grant_type": "password"})",
       "In the token file %s, \"grant_type\" must be \"client_credentials\" or absent, not \"password\"."},
      {"nested to overflow the stack", std::string(90000, '[') + std::string(90000, ']'),
       "The token file %s nests deeper than 64 levels."},
      {"client credentials without a secret", "{" + valid + R"(, "grant_type": "client_credentials"})",
       "In the token file %s, \"grant_type\" \"client_credentials\" needs \"client_secret\"."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.content.empty() ? dir.Path("missing.json") : dir.Write("token.json", c.content);
    try {
      TTokenFile::Load(path);
      ADD_FAILURE() << "loaded";
    } catch (const oauth::ESettingsError& e) {
      EXPECT_EQ(e.Message(), FillPlaceholder(c.error, path));
    }
  }
}

// The program's fields change; every other field and the order stay.
TEST(TokenFile, KeepsTokensAndEverythingElse) {
  TempDir dir;
  const std::string head = R"({"token_endpoint": "https://e/token", "client_id": "c", "custom": {"x": [1, "y"]}, )";
  const struct {
    const char* name;
    std::string before;
    oauth::TTokens (*issued)();
    std::string after;
  } cases[] = {
      {"first tokens",
       head + R"("scope": "s"})",
       [] {
         oauth::TTokens t;
         t.accessToken = "a1";
         t.refreshToken = "r1";
         t.expiresIn = 3600;
         return t;
       },
       R"({"token_endpoint":"https://e/token","client_id":"c","custom":{"x":[1,"y"]},"scope":"s",)"
       R"("access_token":"a1","expires_at":1000003600,"refresh_token":"r1"})"},
      {"refresh token kept when none came",
       head + R"("refresh_token": "r1", "access_token": "a1", "expires_at": 5})",
       [] {
         oauth::TTokens t;
         t.accessToken = "a2";
         t.expiresIn = 60;
         return t;
       },
       R"({"token_endpoint":"https://e/token","client_id":"c","custom":{"x":[1,"y"]},"refresh_token":"r1",)"
       R"("access_token":"a2","expires_at":1000000060})"},
      {"expiry removed when the answer did not say",
       head + R"("access_token": "a1", "expires_at": 5})",
       [] {
         oauth::TTokens t;
         t.accessToken = "a2";
         t.refreshToken = "r2";
         return t;
       },
       R"({"token_endpoint":"https://e/token","client_id":"c","custom":{"x":[1,"y"]},"access_token":"a2",)"
       R"("refresh_token":"r2"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write("token.json", c.before);
    {
      TTokenFile file = TTokenFile::Load(path);
      file.Keep(c.issued(), 1000000000);
      file.Save();
    }
    std::string compact = TokenFileText(path);
    std::erase_if(compact, [](char ch) { return ch == ' ' || ch == '\n'; });
    EXPECT_EQ(compact, c.after);
  }
}

// Windows seals the tokens for the user (DPAPI); POSIX keeps them as they
// are, in a file of mode 0600.
TEST(TokenFile, TokensAtRestAreSealedWhereTheSystemSealsThem) {
  TempDir dir;
  const std::string path = dir.Write("token.json", R"({"token_endpoint": "https://e/token", "client_id": "c"})");
  {
    TTokenFile file = TTokenFile::Load(path);
    oauth::TTokens tokens;
    tokens.accessToken = "acc3ss";
    tokens.refreshToken = "r3fresh";
    file.Keep(tokens, 0);
    file.Save();
  }
  const std::string written = TempDir::Read(path);
  const bool sealed = platform::SealsSecretsAtRest();
  for (const char* token : {"acc3ss", "r3fresh"}) EXPECT_EQ(written.find(token) == std::string::npos, sealed);
  EXPECT_EQ(written.find(R"("refresh_token": "dpapi:)") != std::string::npos, sealed);
  const TTokenFile read = TTokenFile::Load(path);
  EXPECT_EQ(read.Text(oauth::kRefreshToken), "r3fresh");
  EXPECT_EQ(read.Text(oauth::kAccessToken), "acc3ss");
  EXPECT_EQ(read.Text(oauth::kClientId), "c") << "the user's fields as they were";

  // What another user or machine sealed cannot be opened here; a broken seal stands for it.
  std::string elsewhere = R"({"token_endpoint": "https://e/token", "client_id": "c", "refresh_token": "dpapi:AQAA"})";
  if (sealed) elsewhere = std::string(written).replace(written.find("dpapi:") + 6, 8, "AAAAAAAA");
  try {
    TTokenFile::Load(dir.Write("token.json", elsewhere));
    ADD_FAILURE() << "opened";
  } catch (const oauth::ESettingsError& e) {
    EXPECT_EQ(e.Message(), "The token file " + path + " holds tokens sealed for another user or machine (or broken): "
                           "sign in here with /OAUTHSETUP:" + path + ".");
  }
}

TEST(TokenFile, TextsAreWipedAtAnyDepth) {
  nlohmann::ordered_json json = "s3cret";
  for (int i = 0; i < 200000; ++i) json = nlohmann::ordered_json::array({std::move(json)});
  oauth::WipeTexts(json);
  const nlohmann::ordered_json* inner = &json;
  while (inner->is_array()) inner = &inner->front();
  EXPECT_EQ(inner->get<std::string>(), "");
}

TEST(TokenFile, AFileThatCannotBeWrittenStaysAsItWas) {
  TempDir dir;
  const std::string content = R"({"token_endpoint": "https://e/token", "client_id": "c"})";
  const std::string path = dir.Write("token.json", content);
  TTokenFile file = TTokenFile::Load(path);
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);  // the name now taken by a folder: no rename over it
  oauth::TTokens tokens;
  tokens.accessToken = "a";
  file.Keep(tokens, 0);
  EXPECT_THROW(file.Save(), oauth::EFailure);
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("")), {}), 1) << "no new file left behind";
}

}  // namespace
