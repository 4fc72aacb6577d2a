#include "oauth/TokenFile.h"

#include <nlohmann/json.hpp>

#include <vector>

#include "core/Wipe.h"
#include "oauth/OAuthErrors.h"
#include "platform/Crypto.h"
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
/// The file twice.
constexpr std::string_view kSharedFolder =
    "The token file %s lies in a folder that every user may write to (without the sticky bit), where anyone "
    "could put a file of their own in its place: move %s to a folder of your own.";
/// The file twice.
constexpr std::string_view kSealedElsewhere =
    "The token file %s holds tokens sealed for another user or machine (or broken): sign in here with "
    "/OAUTHSETUP:%s.";
/// The file, then the deepest nesting.
constexpr std::string_view kTooDeep = "The token file %s nests deeper than %s levels.";

constexpr std::size_t kLargestFile = 1 << 20;
/// Room made for the new file beyond the old one's size before an exchange:
/// fresh tokens longer by this much are not met in practice.
constexpr std::size_t kSaveRoom = 16 << 10;
constexpr std::string_view kHttps = "https://";
/// Before a token sealed for the user (base64 of DPAPI's blob).
constexpr std::string_view kSealedMark = "dpapi:";
constexpr std::string_view kSealedFields[] = {kRefreshToken, kAccessToken};
constexpr std::string_view kEndpoints[] = {kTokenEndpoint, kDeviceEndpoint, kAuthorizationEndpoint};
constexpr std::string_view kTexts[] = {kTokenEndpoint, kDeviceEndpoint, kAuthorizationEndpoint,
                                       kClientId,      kClientSecret,   kScope,
                                       kGrantType,     kRefreshToken,   kAccessToken};

/// The whole file at resolved (path as the user named it), in storage of
/// its final size, and its identity; the caller wipes it.
std::string ReadWhole(const std::string& path, const std::string& resolved, platform::FileIdentity& identity) {
  const platform::FileHandle file = platform::OpenFileForReadNoFollow(resolved, identity);
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

/// Opens the sealed tokens of json in place. A token without the mark is
/// taken as it stands (as the user or another system wrote it), and sealed
/// when the file is next written. Raises ESettingsError for one that this
/// user cannot open here.
void Unseal(Json& json, const std::string& path) {
  for (const std::string_view field : kSealedFields) {
    const auto found = json.find(field);
    if (found == json.end()) continue;
    std::string& value = found->get_ref<std::string&>();
    if (!value.starts_with(kSealedMark)) continue;
    std::optional<std::string> secret = platform::UnsealForUser(std::string_view(value).substr(kSealedMark.size()));
    if (!secret) throw ESettingsError(Filled(kSealedElsewhere, {path, path}));
    Wipe(value);
    value.swap(*secret);
  }
}

/// The text of the file for json: its tokens sealed where the system seals
/// secrets at rest. Raises platform::CryptoError.
std::string FileText(const Json& json) {
  if (!platform::SealsSecretsAtRest()) return json.dump(2);
  Json sealed = json;
  struct WipeCopy {
    Json& json;
    ~WipeCopy() { WipeTexts(json); }
  } wipeCopy{sealed};
  for (const std::string_view field : kSealedFields) {
    const auto found = sealed.find(field);
    if (found == sealed.end() || found->get_ref<const std::string&>().empty()) continue;
    std::string& value = found->get_ref<std::string&>();
    const std::string text = std::string(kSealedMark) + platform::SealForUser(value);
    Wipe(value);
    value = text;
  }
  return sealed.dump(2);
}

}  // namespace

TTokens::~TTokens() {
  Wipe(accessToken);
  Wipe(refreshToken);
}

void WipeTexts(Json& json) {
  // A loop, not recursion: the depth of what was parsed is not ours to choose.
  std::vector<Json*> open{&json};
  while (!open.empty()) {
    Json* value = open.back();
    open.pop_back();
    if (value->is_string()) {
      Wipe(value->get_ref<std::string&>());
    } else if (value->is_structured()) {
      for (Json& element : *value) open.push_back(&element);
    }
  }
}

bool NestedTooDeep(std::string_view json) {
  std::size_t depth = 0;
  bool inText = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inText) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inText = false;
      }
    } else if (c == '"') {
      inText = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kDeepestNesting) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

TTokenFile::TTokenFile(std::string path, std::string resolved, platform::FileIdentity identity, std::size_t size,
                       std::unique_ptr<Json> json)
    : path_(std::move(path)),
      resolved_(std::move(resolved)),
      identity_(identity),
      size_(size),
      json_(std::move(json)) {}
TTokenFile::TTokenFile(TTokenFile&&) noexcept = default;
TTokenFile& TTokenFile::operator=(TTokenFile&&) noexcept = default;

TTokenFile::~TTokenFile() {
  if (json_) WipeTexts(*json_);
}

TTokenFile TTokenFile::Load(const std::string& path) {
  // Resolved once: a link put in its place later is not followed.
  std::string resolved = platform::ResolvedPath(path);
  if (platform::InSharedFolder(resolved)) throw ESettingsError(Filled(kSharedFolder, {path, path}));
  platform::FileIdentity identity;
  std::string text = ReadWhole(path, resolved, identity);
  const TWipeOnExit wipeText(text);
  if (NestedTooDeep(text)) throw ESettingsError(Filled(kTooDeep, {path, std::to_string(kDeepestNesting)}));
  auto json = std::make_unique<Json>();
  try {
    *json = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // The parser's own message quotes what it read, which may be a secret.
    throw ESettingsError(Filled(kNotJson, {path, std::to_string(e.byte)}));
  }
  TTokenFile file(path, std::move(resolved), identity, text.size(), std::move(json));
  Check(*file.json_, path);
  Unseal(*file.json_, path);
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
  const auto remove = [&json](std::string_view field) {
    const auto found = json.find(field);
    if (found == json.end()) return;
    if (found->is_string()) Wipe(found->get_ref<std::string&>());
    json.erase(found);
  };
  const auto replace = [&json](std::string_view field, const std::string& value) {
    const auto found = json.find(field);
    if (found != json.end() && found->is_string()) Wipe(found->get_ref<std::string&>());
    json[std::string(field)] = value;  // in its place, where it was
  };
  if (tokens.accessToken.empty()) {
    remove(kAccessToken);  // a refresh token alone, from an answer refused for its access token
  } else {
    replace(kAccessToken, tokens.accessToken);
  }
  if (tokens.expiresIn && !tokens.accessToken.empty()) {
    json[std::string(kExpiresAt)] = now + *tokens.expiresIn;
  } else {
    remove(kExpiresAt);  // unknown: the next run fetches a fresh one
  }
  if (!tokens.refreshToken.empty()) replace(kRefreshToken, tokens.refreshToken);
}

void TTokenFile::PrepareSave() {
  const std::string problem = replacement_.Prepare(resolved_, size_ + kSaveRoom);
  if (!problem.empty()) throw EFailure(Filled(kCannotWrite, {path_, problem}));
}

std::string TTokenFile::TrySave() {
  if (!replacement_.Prepared()) {
    const std::string problem = replacement_.Prepare(resolved_, size_ + kSaveRoom);
    if (!problem.empty()) return problem;
  }
  std::string text;
  const TWipeOnExit wipeText(text);
  try {
    text = FileText(*json_);
  } catch (const platform::CryptoError& e) {
    return e.what();
  }
  text += '\n';
  return replacement_.Commit(text, identity_);
}

void TTokenFile::Save() {
  const std::string problem = TrySave();
  if (!problem.empty()) throw EFailure(Filled(kCannotWrite, {path_, problem}));
}

}  // namespace oauth
