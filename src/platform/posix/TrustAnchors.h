#pragma once
// Trust anchors for OpenSSL's certificate checks, shared by the TLS sessions
// and the HTTP client: the system's store as OpenSSL finds it, and a CA
// file's certificates added to a store.

#include <string>

#include "platform/posix/OpenSslLibrary.h"

namespace platform::ossl {

enum class SystemStore { kFolder, kBundle };

/// Where OpenSSL keeps the system's trust anchors, as its environment
/// variables (SSL_CERT_DIR, SSL_CERT_FILE) may set them. Load() first.
const char* SystemStorePath(SystemStore part);

/// True when path holds at least one PEM certificate. Raises TlsError
/// (kTlsCaFileUnreadable) when it cannot be opened. Load() first.
bool HoldsPemCertificate(const std::string& path);

/// Adds every certificate of the PEM file caFile to store as a trust
/// anchor, an intermediate CA's too (a partial chain ending there is
/// trusted). Raises TlsError (kTlsCaFileUnreadable, kTlsCaFileEmpty).
/// Load() first.
void AddTrustAnchors(X509_STORE* store, const std::string& caFile);

}  // namespace platform::ossl
