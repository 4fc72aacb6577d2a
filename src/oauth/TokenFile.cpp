#include "oauth/TokenFile.h"

#include <nlohmann/json.hpp>

#include "core/Wipe.h"
#include "oauth/OAuthErrors.h"
#include "platform/File.h"

namespace oauth {
namespace {

using Json = nlohmann::ordered_json;

/// The latest expires_at taken as a time (Unix seconds, the year 33658).
constexpr double kLatestTime = 1e12;

constexpr std::string_view kUnreadable = "The token file %s cannot be read.";
constexpr std::string_view kTooLarge = "The token file %s is larger than 1 MiB.";
/// The file, then the byte at which the JSON breaks off.
constexpr std::string_view kNotJson = "The token file %s is not JSON: it breaks off at byte %s.";
constexpr std::string_view kNoObject = "The token file %s holds no JSON object.";
/// The file, then the field.
constexpr std::string_view kFieldMissing = "The token file %s lacks \"%s\".";
constexpr std::string_view kNotText = "In the token file %s, \"%s\" is no text.";
constexpr std::string_view kNotNumber = "In the token file %s, \"%s\" is no number.";
/// The file, the field, then its value.
constexpr std::string_view kNotHttps = "In the token file %s, \"%s\" is no https address: %s";
constexpr std::string_view kUnknownGrant =
    "In the token file %s, \"grant_type\" must be \"client_credentials\" or absent, not \"%s\".";
constexpr std::string_view kGrantNeedsSecret =
    "In the token file %s, \"grant_type\" \"client_credentials\" needs \"client_secret\".";
/// The file, then the system's reason.
constexpr std::string_view kCannotWrite = "The token file %s cannot be written: %s.";

constexpr std::size_t kLargestFile = 1 << 20;
constexpr std::string_view kHttps = "https://";
constexpr std::string_view kEndpoints[] = {kTokenEndpoint, kDeviceEndpoint, kAuthorizationEndpoint};
constexpr std::string_view kTexts[] = {kTokenEndpoint, kDeviceEndpoint, kAuthorizationEndpoint,
                                       kClientId,      kClientSecret,   kScope,
                                       kGrantType,     kRefreshToken,   kAccessToken};

/// The whole file, in storage of its final size; the caller wipes it.
std::string ReadWhole(const std::string& path) {
  const platform::FileHandle file = platform::OpenFileForRead(path, platform::FileShare::kDenyWrite);
  if (file == platform::kInvalidFile) throw ESettingsError(Filled(kUnreadable, {path}));
  // Storage of the file's size, not of the largest: filling a megabyte
  // costs a send about a millisecond.
  const std::int64_t size = platform::SeekFile(file, 0, 2);
  if (size > static_cast<std::int64_t>(kLargestFile)) {
    platform::CloseFile(file);
    throw ESettingsError(Filled(kTooLarge, {path}));
  }
  const bool rewound = size >= 0 && platform::SeekFile(file, 0, 0) == 0;
  std::string text(rewound ? static_cast<std::size_t>(size) : 0, '\0');
  const std::int64_t count = rewound ? platform::ReadFile(file, text.data(), size) : -1;
  platform::CloseFile(file);
  if (count < 0) {
    Wipe(text);
    throw ESettingsError(Filled(kUnreadable, {path}));
  }
  text.resize(static_cast<std::size_t>(count));  // shrinking keeps the storage
  return text;
}

void Check(const Json& json, const std::string& path) {
  if (!json.is_object()) throw ESettingsError(Filled(kNoObject, {path}));
  for (const std::string_view field : kTexts) {
    const auto found = json.find(field);
    if (found != json.end() && !found->is_string()) throw ESettingsError(Filled(kNotText, {path, field}));
  }
  const auto expiresAt = json.find(kExpiresAt);
  if (expiresAt != json.end() && !expiresAt->is_number()) throw ESettingsError(Filled(kNotNumber, {path, kExpiresAt}));
  for (const std::string_view field : {kTokenEndpoint, kClientId}) {
    if (!json.contains(field) || json[std::string(field)].get_ref<const std::string&>().empty()) {
      throw ESettingsError(Filled(kFieldMissing, {path, field}));
    }
  }
  for (const std::string_view field : kEndpoints) {
    const auto found = json.find(field);
    if (found == json.end()) continue;
    const std::string& address = found->get_ref<const std::string&>();
    if (address.compare(0, kHttps.size(), kHttps) != 0) throw ESettingsError(Filled(kNotHttps, {path, field, address}));
  }
  const auto grant = json.find(kGrantType);
  if (grant != json.end()) {
    const std::string& name = grant->get_ref<const std::string&>();
    if (name != kClientCredentials) throw ESettingsError(Filled(kUnknownGrant, {path, name}));
    if (!json.contains(kClientSecret)) throw ESettingsError(Filled(kGrantNeedsSecret, {path}));
  }
}

}  // namespace

TTokens::~TTokens() {
  Wipe(accessToken);
  Wipe(refreshToken);
}

void WipeTexts(Json& json) {
  if (json.is_string()) {
    Wipe(json.get_ref<std::string&>());
  } else if (json.is_structured()) {
    for (Json& element : json) WipeTexts(element);
  }
}

TTokenFile::TTokenFile(std::string path, std::unique_ptr<Json> json) : path_(std::move(path)), json_(std::move(json)) {}
TTokenFile::TTokenFile(TTokenFile&&) noexcept = default;
TTokenFile& TTokenFile::operator=(TTokenFile&&) noexcept = default;

TTokenFile::~TTokenFile() {
  if (json_) WipeTexts(*json_);
}

TTokenFile TTokenFile::Load(const std::string& path) {
  std::string text = ReadWhole(path);
  const TWipeOnExit wipeText(text);
  auto json = std::make_unique<Json>();
  try {
    *json = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // The parser's own message quotes what it read, which may be a secret.
    throw ESettingsError(Filled(kNotJson, {path, std::to_string(e.byte)}));
  }
  TTokenFile file(path, std::move(json));
  Check(*file.json_, path);
  return file;
}

const std::string& TTokenFile::Text(std::string_view field) const {
  static const std::string kNone;
  const auto found = json_->find(field);
  return found == json_->end() ? kNone : found->get_ref<const std::string&>();
}

std::optional<std::int64_t> TTokenFile::ExpiresAt() const {
  const auto found = json_->find(kExpiresAt);
  if (found == json_->end()) return std::nullopt;
  // A time before 1970 or past any clock's (1e300, say) is no expiry: the
  // token is then fetched afresh.
  const double at = found->get<double>();
  if (!(at >= 0 && at <= kLatestTime)) return std::nullopt;
  return static_cast<std::int64_t>(at);
}

bool TTokenFile::ClientCredentials() const { return Text(kGrantType) == kClientCredentials; }

void TTokenFile::Keep(const TTokens& tokens, std::int64_t now) {
  Json& json = *json_;
  const auto replace = [&json](std::string_view field, const std::string& value) {
    const auto found = json.find(field);
    if (found != json.end() && found->is_string()) Wipe(found->get_ref<std::string&>());
    json[std::string(field)] = value;
  };
  replace(kAccessToken, tokens.accessToken);
  if (tokens.expiresIn) {
    json[std::string(kExpiresAt)] = now + *tokens.expiresIn;
  } else {
    json.erase(std::string(kExpiresAt));  // unknown: the next run fetches a fresh one
  }
  if (!tokens.refreshToken.empty()) replace(kRefreshToken, tokens.refreshToken);
}

void TTokenFile::Save() const {
  std::string text = json_->dump(2);
  const TWipeOnExit wipeText(text);
  text += '\n';
  const std::string problem = platform::ReplaceFileContent(path_, text);
  if (!problem.empty()) throw EFailure(Filled(kCannotWrite, {path_, problem}));
}

}  // namespace oauth
