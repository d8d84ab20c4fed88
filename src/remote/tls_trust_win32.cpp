// Windows' own headers first: OpenSSL's undo the names of wincrypt.h that clash with its own.
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include <openssl/x509.h>

#include "remote/tls_session.h"

namespace morvanix::detail {

bool LoadSystemTrust(x509_store_st* store) {
  // The machine's trusted roots, as Windows keeps them; OpenSSL has no store of its own here.
  HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
  if (roots == nullptr) return false;
  int added = 0;
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(roots, certificate)) != nullptr) {
    const unsigned char* bytes = certificate->pbCertEncoded;
    X509* parsed = d2i_X509(nullptr, &bytes, static_cast<long>(certificate->cbCertEncoded));
    if (parsed == nullptr) continue;
    if (X509_STORE_add_cert(store, parsed) == 1) ++added;
    X509_free(parsed);
  }
  CertCloseStore(roots, 0);
  return added > 0;
}

}  // namespace morvanix::detail
