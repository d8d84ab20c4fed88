#include "tls_listener.h"

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#error "the remote-stub program needs the HTTP library built with TLS support"
#endif

namespace morvanix::stub {

std::unique_ptr<httplib::Server> MakeTlsServer(const std::string& certificatePath,
                                               const std::string& keyPath, std::string* error) {
  auto server = std::make_unique<httplib::SSLServer>(certificatePath.c_str(), keyPath.c_str());
  if (!server->is_valid()) {
    *error = "cannot use the certificate " + certificatePath + " with the key " + keyPath;
    return nullptr;
  }
  // A reply goes out as several TLS records; held for acknowledgements they would add a
  // delayed ACK to every exchange.
  server->set_tcp_nodelay(true);
  return server;
}

}  // namespace morvanix::stub
