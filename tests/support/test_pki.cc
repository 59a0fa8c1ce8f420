#include "support/test_pki.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "quillpost/host/base/openssl.h"

namespace quillpost::testing {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

[[noreturn]] void fail(const std::string& what) {
  const std::string errors = openssl_error_text();
  throw std::runtime_error("test PKI: " + what + (errors.empty() ? "" : "; " + errors));
}

Key new_key() {
  Key key(EVP_EC_gen("P-256"));
  if (!key) fail("cannot make an EC key");
  return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) fail(std::string("cannot make extension ") + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `common_name` with `key`, signed by `issuer` with
// `issuer_key`, or self-signed when `issuer` is null. `alt_names` null: a CA.
Cert make_cert(const char* common_name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key,
               const char* alt_names, long serial, long not_before = -3600) {
  Cert cert(X509_new());
  if (!cert) fail("cannot allocate a certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), not_before);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("QuillPost tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (alt_names == nullptr) {
    add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_extension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    add_extension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
    add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    add_extension(cert.get(), signer, NID_subject_alt_name, alt_names);
  }
  if (X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) == 0) {
    fail(std::string("cannot sign the certificate for ") + common_name);
  }
  return cert;
}

void write_cert(const std::filesystem::path& file, X509* cert) {
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(file.c_str(), "w"), std::fclose);
  if (!out || PEM_write_X509(out.get(), cert) != 1) fail("cannot write " + file.string());
}

void write_key(const std::filesystem::path& file, EVP_PKEY* key) {
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(file.c_str(), "w"), std::fclose);
  if (!out || PEM_write_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    fail("cannot write " + file.string());
  }
}

}  // namespace

TestPki make_test_pki(const std::filesystem::path& dir) {
  TestPki pki{dir / "ca.pem",         dir / "server.pem",     dir / "server.key",
              dir / "wrong-host.pem", dir / "wrong-host.key", dir / "other-ca.pem",
              dir / "future.pem",     dir / "future.key"};
  Key ca_key = new_key();
  Cert ca = make_cert("QuillPost test CA", ca_key.get(), nullptr, nullptr, nullptr, 1);
  Key server_key = new_key();
  Cert server = make_cert("localhost", server_key.get(), ca.get(), ca_key.get(),
                          "DNS:localhost,IP:127.0.0.1,IP:::1", 2);
  Key wrong_key = new_key();
  Cert wrong = make_cert("wrong-host.invalid", wrong_key.get(), ca.get(), ca_key.get(),
                         "DNS:wrong-host.invalid", 3);
  Key future_key = new_key();
  Cert future = make_cert("localhost", future_key.get(), ca.get(), ca_key.get(),
                          "DNS:localhost,IP:127.0.0.1,IP:::1", 5, 24L * 3600);
  Key other_key = new_key();
  Cert other = make_cert("QuillPost unrelated CA", other_key.get(), nullptr, nullptr, nullptr, 4);

  write_cert(pki.ca_cert, ca.get());
  write_cert(pki.server_cert, server.get());
  write_key(pki.server_key, server_key.get());
  write_cert(pki.wrong_host_cert, wrong.get());
  write_key(pki.wrong_host_key, wrong_key.get());
  write_cert(pki.other_ca_cert, other.get());
  write_cert(pki.future_cert, future.get());
  write_key(pki.future_key, future_key.get());
  return pki;
}

}  // namespace quillpost::testing
