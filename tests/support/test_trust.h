#pragma once

// Certificates made in memory for the HTTPS build's tests, and the one CA the test process
// trusts. The agent reads only the system's trust store, so trusting a CA means a copy of the
// system bundle with the CA appended, bind-mounted over the bundle in a mount namespace of
// the process's own; children started later (the agent, the diagnostics program) inherit it.
#include <string>

// A certificate and its private key, both PEM.
struct TestCertificate {
  std::string certificatePem;
  std::string keyPem;

  bool Empty() const { return certificatePem.empty() || keyPem.empty(); }
};

// A certificate authority for tests: a self-signed CA certificate on a new P-256 key.
class TestAuthority {
 public:
  explicit TestAuthority(const std::string& commonName);

  // The CA itself; empty when it could not be made.
  const TestCertificate& Certificate() const { return self_; }

  // A server certificate signed by this CA: commonName in its subject, altName its one DNS
  // alternative name, valid from yesterday for `days` days from now (a negative number: it
  // expired that many days ago). Empty when it could not be made.
  TestCertificate Issue(const std::string& commonName, const std::string& altName, int days) const;

 private:
  TestCertificate self_;
};

// A server certificate signed by its own key, with altName as its DNS alternative name.
TestCertificate SelfSignedCertificate(const std::string& commonName, const std::string& altName);

// The process's trusted test CA and a certificate it issued for "localhost", made and
// trusted on the first call, which has to come from the main thread: the mount namespace is
// per thread, and only threads and children started afterwards by that thread see it. The
// trust store is read at a TLS context's first handshake, so the first call must also come
// before the first HTTPS post. Needs root.
struct TestTrust {
  std::string error;  // empty when the CA is trusted
  const TestAuthority* authority = nullptr;
  TestCertificate localhost;
};
const TestTrust& ProcessTestTrust();
