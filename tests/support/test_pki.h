// Certificates for TLS tests, made at test time: a CA, a server certificate
// it signed for the loopback names, one it signed for a wrong host name, and
// an unrelated CA that signed nothing here, and one valid only from tomorrow. Keys are EC P-256;
// every file is PEM.
#pragma once

#include <filesystem>

namespace quillpost::testing {

struct TestPki {
  std::filesystem::path ca_cert;      // the CA that signed both server certificates
  std::filesystem::path server_cert;  // for 127.0.0.1, ::1 and localhost
  std::filesystem::path server_key;
  std::filesystem::path wrong_host_cert;  // for wrong-host.invalid only
  std::filesystem::path wrong_host_key;
  std::filesystem::path other_ca_cert;  // a CA that trusts neither server certificate
  std::filesystem::path future_cert;    // for the loopback names, valid only from tomorrow
  std::filesystem::path future_key;
};

// Writes the files into `dir` (which must exist) and names them. Throws
// std::runtime_error with OpenSSL's error text when anything fails.
TestPki make_test_pki(const std::filesystem::path& dir);

}  // namespace quillpost::testing
