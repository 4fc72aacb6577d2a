#include "support/TestCertificates.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string_view>
#include <stdexcept>
#include <vector>

namespace testserver {
namespace {

constexpr long kDay = 24 * 60 * 60;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

Key NewKey() {
  Key key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "no key");
  return key;
}

/// What one certificate says about itself.
struct Profile {
  const char* commonName;
  const char* altNames;  // subjectAltName of a server, "" for none; nullptr for a CA
  bool authority;        // may issue certificates (a self-signed server says so too)
  long validFrom;  // seconds from now
  long validTo;
  std::string_view rawDnsName = {};  // the one DNS name, any byte in it, instead of altNames
};

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(extension != nullptr && X509_add_ext(cert, extension, -1) == 1, "bad extension");
  X509_EXTENSION_free(extension);
}

/// A subjectAltName of the one DNS name name, which may hold any byte (the
/// text form of an extension cannot carry a NUL).
void AddRawDnsName(X509* cert, std::string_view name) {
  GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
  GENERAL_NAME* entry = GENERAL_NAME_new();
  ASN1_IA5STRING* text = ASN1_IA5STRING_new();
  Check(names != nullptr && entry != nullptr && text != nullptr &&
            ASN1_STRING_set(text, name.data(), static_cast<int>(name.size())) == 1,
        "no name");
  GENERAL_NAME_set0_value(entry, GEN_DNS, text);
  sk_GENERAL_NAME_push(names, entry);
  Check(X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT) == 1, "bad name");
  GENERAL_NAMES_free(names);
}

/// True when both numbers of the certificate's ECDSA signature fill all 32
/// bytes of a P-256 value.
bool HasFullLengthSignature(const X509* cert) {
  const ASN1_BIT_STRING* signature = nullptr;
  X509_get0_signature(&signature, nullptr, cert);
  const unsigned char* der = ASN1_STRING_get0_data(signature);
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &der, ASN1_STRING_length(signature));
  Check(parsed != nullptr, "no ECDSA signature");
  const bool full = BN_num_bytes(ECDSA_SIG_get0_r(parsed)) == 32 && BN_num_bytes(ECDSA_SIG_get0_s(parsed)) == 32;
  ECDSA_SIG_free(parsed);
  return full;
}

/// A certificate for key, signed by issuerKey as issuer (itself when null).
Cert Issue(const Profile& profile, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long serial) {
  Cert cert(X509_new());
  Check(cert != nullptr, "no certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), profile.validFrom);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), profile.validTo);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(profile.commonName),
                             -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  AddExtension(cert.get(), signer, NID_basic_constraints, profile.authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
  AddExtension(cert.get(), signer, NID_key_usage,
               profile.authority ? "critical,keyCertSign,cRLSign,digitalSignature" : "critical,digitalSignature");
  AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  if (profile.altNames != nullptr) {
    AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    if (*profile.altNames != '\0') AddExtension(cert.get(), signer, NID_subject_alt_name, profile.altNames);
  }
  if (!profile.rawDnsName.empty()) AddRawDnsName(cert.get(), profile.rawDnsName);
  // Wine's crypt32 takes an ECDSA signature whose r or s is shorter than the
  // curve (about one signature in 128) for a bad one: sign again, each
  // signature being random, so that the tests under Wine never meet one.
  do {
    Check(X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "cannot sign");
  } while (!HasFullLengthSignature(cert.get()));
  return cert;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* file = std::fopen(path.c_str(), "w");
  Check(file != nullptr, "cannot write");
  const bool ok = cert != nullptr ? PEM_write_X509(file, cert) == 1
                                  : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(file);
  Check(ok, "cannot write PEM");
}

}  // namespace

void MakeTestCertificates(const std::string& dir) {
  const Key caKey = NewKey();
  const Key leafKey = NewKey();
  const Cert ca = Issue({"mailshot test CA", nullptr, true, -kDay, 30 * kDay}, caKey.get(), nullptr, nullptr, 1);
  const struct {
    Certificate certificate;
    Profile profile;
    bool selfSigned;
  } leaves[] = {
      {Certificate::kTrusted, {"localhost", "DNS:localhost,IP:127.0.0.1", false, -kDay, 30 * kDay}, false},
      {Certificate::kWrongName, {"other.mailshot.test", "DNS:other.mailshot.test", false, -kDay, 30 * kDay}, false},
      {Certificate::kExpired, {"localhost", "DNS:localhost,IP:127.0.0.1", false, -30 * kDay, -kDay}, false},
      {Certificate::kSelfSigned, {"localhost", "DNS:localhost,IP:127.0.0.1", true, -kDay, 30 * kDay}, true},
      {Certificate::kCommonNameOnly, {"localhost", "", false, -kDay, 30 * kDay}, false},
      {Certificate::kAddressOnly, {"localhost", "IP:127.0.0.1", false, -kDay, 30 * kDay}, false},
      {Certificate::kDnsAddress, {"127.0.0.1", "DNS:127.0.0.1", false, -kDay, 30 * kDay}, false},
      {Certificate::kNulInName,
       {"localhost", "", false, -kDay, 30 * kDay, std::string_view("localhost\0.other.mailshot.test", 30)}, false},
  };
  long serial = 2;
  for (const auto& leaf : leaves) {
    const Cert cert = leaf.selfSigned ? Issue(leaf.profile, leafKey.get(), nullptr, nullptr, serial++)
                                      : Issue(leaf.profile, leafKey.get(), ca.get(), caKey.get(), serial++);
    WritePem(dir + "/" + CertificateFileName(leaf.certificate), cert.get(), nullptr);
  }
  WritePem(dir + "/" + kTestKeyFileName, nullptr, leafKey.get());
  const std::string caFile = dir + "/" + kTestCaFileName;
  WritePem(caFile + ".part", ca.get(), nullptr);
  Check(std::rename((caFile + ".part").c_str(), caFile.c_str()) == 0, "cannot rename the CA file");
}

}  // namespace testserver
