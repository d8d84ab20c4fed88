#include <openssl/x509.h>

#include "remote/tls_session.h"

namespace morvanix::detail {

bool LoadSystemTrust(x509_store_st* store) {
  // The paths OpenSSL was built with (Debian: the ca-certificates bundle and folder), not
  // SSL_CERT_FILE or SSL_CERT_DIR: the environment must not choose whom the agent trusts.
  const bool file = X509_STORE_load_file(store, X509_get_default_cert_file()) == 1;
  const bool folder = X509_STORE_load_path(store, X509_get_default_cert_dir()) == 1;
  return file || folder;
}

}  // namespace morvanix::detail
