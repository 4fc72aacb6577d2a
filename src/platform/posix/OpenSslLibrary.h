#pragma once
// The OpenSSL 3 functions that the TLS sessions, the HTTP client's trust
// settings and SHA-256 call, taken from libssl (and the libcrypto it brings
// along) when the first session, CA file or digest needs them. Linked at
// build time, the two libraries cost every start of the program about
// 0.9 ms, most of a whole send without TLS; loaded on demand, they cost only
// the sends that use TLS. Nothing here is linked against
// OpenSSL, so a call that bypasses this table does not build.
//
// OpenSSL's function-like macros (SSL_set_tlsext_host_name, BIO_reset, the
// sk_* stacks, ...) expand to calls of the library's own symbols: callers
// write out those calls through the table instead.

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace platform::ossl {

#define MAILSHOT_OPENSSL_FUNCTIONS(X)                                                                              \
  X(ASN1_STRING_get0_data) X(ASN1_STRING_length) X(BIO_ctrl) X(BIO_ctrl_pending) X(BIO_free) X(BIO_new)            \
  X(BIO_new_file) X(BIO_read) X(BIO_s_mem) X(BIO_write) X(ERR_clear_error) X(ERR_get_error)                        \
  X(ERR_reason_error_string) X(EVP_Digest) X(EVP_sha256) X(GENERAL_NAMES_free) X(OPENSSL_sk_num)                   \
  X(OPENSSL_sk_value) X(PEM_read_bio_X509) X(SSL_CIPHER_standard_name) X(SSL_ctrl) X(SSL_CTX_ctrl)                 \
  X(SSL_CTX_free)                                                                                                  \
  X(SSL_CTX_get0_param) X(SSL_CTX_get_cert_store) X(SSL_CTX_load_verify_dir) X(SSL_CTX_new) X(SSL_CTX_set_verify)  \
  X(SSL_do_handshake) X(SSL_free) X(SSL_get0_peer_certificate) X(SSL_get_current_cipher) X(SSL_get_error)          \
  X(SSL_get_peer_cert_chain) X(SSL_get_verify_result) X(SSL_get_version) X(SSL_new) X(SSL_read) X(SSL_set_bio)     \
  X(SSL_set_connect_state) X(SSL_set_msg_callback) X(SSL_shutdown) X(SSL_write) X(TLS_client_method)               \
  X(X509_check_host) X(X509_check_ip) X(X509_free) X(X509_get_default_cert_dir) X(X509_get_default_cert_dir_env)   \
  X(X509_get_default_cert_file) X(X509_get_default_cert_file_env) X(X509_get_ext_d2i) X(X509_get_issuer_name)      \
  X(X509_get_subject_name) X(X509_NAME_get_text_by_NID) X(X509_NAME_print_ex) X(X509_STORE_add_cert)               \
  X(X509_STORE_CTX_free) X(X509_STORE_CTX_get_error) X(X509_STORE_CTX_init) X(X509_STORE_CTX_new)                  \
  X(X509_STORE_CTX_set_default) X(X509_STORE_load_file) X(X509_STORE_set_flags) X(X509_verify_cert)                \
  X(X509_verify_cert_error_string) X(X509_VERIFY_PARAM_set1_host) X(X509_VERIFY_PARAM_set1_ip_asc)                 \
  X(X509_VERIFY_PARAM_set_hostflags)

// One pointer per function, by the function's own name: ossl::SSL_new(...).
// Null until Load() has succeeded.
#define MAILSHOT_OPENSSL_POINTER(name) extern decltype(&::name) name;
MAILSHOT_OPENSSL_FUNCTIONS(MAILSHOT_OPENSSL_POINTER)
#undef MAILSHOT_OPENSSL_POINTER

/// Loads the libraries and fills every pointer, once per process; later
/// calls only repeat the outcome. Raises TlsError when libssl cannot be
/// loaded or lacks one of the functions.
void Load();

}  // namespace platform::ossl
