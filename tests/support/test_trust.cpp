#include "test_trust.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

namespace {

constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr long kDay = 24 * 60 * 60;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// Certificates this process makes get serials of their own, so that no two from one CA match.
std::atomic<long> nextSerial{1};

void InitOpenSsl() {
  // As the agent's own code does: no configuration file may change the tests' TLS.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

TestCertificate ToPem(X509* certificate, EVP_PKEY* key) {
  Bio certificateText(BIO_new(BIO_s_mem()));
  Bio keyText(BIO_new(BIO_s_mem()));
  if (!certificateText || !keyText || PEM_write_bio_X509(certificateText.get(), certificate) != 1 ||
      PEM_write_bio_PrivateKey(keyText.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return {};
  }
  return {BioText(certificateText.get()), BioText(keyText.get())};
}

struct Parsed {
  Certificate certificate;
  Key key;
};

Parsed FromPem(const TestCertificate& pem) {
  Bio certificateText(
      BIO_new_mem_buf(pem.certificatePem.data(), static_cast<int>(pem.certificatePem.size())));
  Bio keyText(BIO_new_mem_buf(pem.keyPem.data(), static_cast<int>(pem.keyPem.size())));
  if (!certificateText || !keyText) return {};
  return {Certificate(PEM_read_bio_X509(certificateText.get(), nullptr, nullptr, nullptr)),
          Key(PEM_read_bio_PrivateKey(keyText.get(), nullptr, nullptr, nullptr))};
}

// A version 3 certificate for a new key, signed by issuer (itself when null), with the
// extensions given as OpenSSL's configuration texts.
TestCertificate Make(const std::string& commonName, long notBefore, long notAfter,
                     const Parsed* issuer,
                     const std::vector<std::pair<int, std::string>>& extensions) {
  InitOpenSsl();
  Key key(EVP_EC_gen("P-256"));
  Certificate made(X509_new());
  if (!key || !made) return {};
  X509* x = made.get();
  X509_NAME* subject = X509_get_subject_name(x);
  const auto* name = reinterpret_cast<const unsigned char*>(commonName.c_str());
  if (X509_set_version(x, X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(x), nextSerial++) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(x), notBefore) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(x), notAfter) == nullptr ||
      X509_set_pubkey(x, key.get()) != 1 ||
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, name, -1, -1, 0) != 1 ||
      X509_set_issuer_name(
          x, issuer ? X509_get_subject_name(issuer->certificate.get()) : subject) != 1) {
    return {};
  }
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer->certificate.get() : x, x, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    const bool added = extension != nullptr && X509_add_ext(x, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    if (!added) return {};
  }
  if (X509_sign(x, issuer ? issuer->key.get() : key.get(), EVP_sha256()) == 0) return {};
  return ToPem(x, key.get());
}

// The validity of a server certificate: from yesterday to `days` from now, or, for a negative
// number, ending that many days ago.
std::pair<long, long> Validity(int days) {
  return days >= 0 ? std::pair{-kDay, days * kDay} : std::pair{(days - 1) * kDay, days * kDay};
}

std::string ErrorText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// A copy of the system bundle with the CA appended, bind-mounted over the bundle in a new
// mount namespace of the calling thread. The copy is removed at once: the mount holds it.
std::string TrustInThisProcess(const TestCertificate& ca) {
  if (::geteuid() != 0) return "the HTTPS build's tests need root, for a mount namespace";
  if (::syscall(SYS_gettid) != ::getpid()) {
    return "the test CA was first asked for on a thread other than the main one";
  }
  std::ifstream system(kSystemBundle, std::ios::binary);
  std::ostringstream bundle;
  bundle << system.rdbuf();
  if (!system) return std::string("cannot read ") + kSystemBundle;
  const std::string copy = (std::filesystem::temp_directory_path() /
                            ("morvanix-test-bundle-" + std::to_string(::getpid()) + ".crt"))
                               .string();
  {
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out << bundle.str() << '\n' << ca.certificatePem;
    if (!out.flush()) return "cannot write " + copy;
  }
  std::string error;
  if (::unshare(CLONE_NEWNS) != 0) {
    error = ErrorText("unshare(CLONE_NEWNS)");
  } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    error = ErrorText("making / private");
  } else if (::mount(copy.c_str(), kSystemBundle, nullptr, MS_BIND, nullptr) != 0) {
    error = ErrorText(std::string("bind-mounting over ") + kSystemBundle);
  }
  std::filesystem::remove(copy);
  return error;
}

TestTrust MakeProcessTrust() {
  static const TestAuthority authority("Morvanix test CA");
  TestTrust trust;
  trust.authority = &authority;
  trust.localhost = authority.Issue("localhost", "localhost", 2);
  if (authority.Certificate().Empty() || trust.localhost.Empty()) {
    trust.error = "could not make the test certificates";
  } else {
    trust.error = TrustInThisProcess(authority.Certificate());
  }
  return trust;
}

}  // namespace

TestAuthority::TestAuthority(const std::string& commonName) {
  self_ = Make(commonName, -kDay, 2 * kDay, nullptr,
               {{NID_basic_constraints, "critical,CA:TRUE"},
                {NID_key_usage, "critical,keyCertSign,cRLSign"},
                {NID_subject_key_identifier, "hash"}});
}

TestCertificate TestAuthority::Issue(const std::string& commonName, const std::string& altName,
                                     int days) const {
  const Parsed issuer = FromPem(self_);
  if (!issuer.certificate || !issuer.key) return {};
  const auto [notBefore, notAfter] = Validity(days);
  return Make(commonName, notBefore, notAfter, &issuer,
              {{NID_basic_constraints, "CA:FALSE"},
               {NID_key_usage, "critical,digitalSignature"},
               {NID_ext_key_usage, "serverAuth"},
               {NID_subject_alt_name, "DNS:" + altName},
               {NID_authority_key_identifier, "keyid"}});
}

TestCertificate SelfSignedCertificate(const std::string& commonName, const std::string& altName) {
  const auto [notBefore, notAfter] = Validity(2);
  // As a quickly made server certificate usually is: its own CA, no key usage limits.
  return Make(commonName, notBefore, notAfter, nullptr,
              {{NID_basic_constraints, "critical,CA:TRUE"},
               {NID_subject_key_identifier, "hash"},
               {NID_subject_alt_name, "DNS:" + altName}});
}

const TestTrust& ProcessTestTrust() {
  static const TestTrust trust = MakeProcessTrust();
  return trust;
}
