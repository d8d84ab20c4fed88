#pragma once

#include <memory>
#include <string>

#include <httplib.h>

namespace morvanix::stub {

// A server that speaks HTTPS with this certificate chain and key (PEM files), to hand to
// RemoteStub::AddListener; nullptr with the reason in *error when they cannot be used.
std::unique_ptr<httplib::Server> MakeTlsServer(const std::string& certificatePath,
                                               const std::string& keyPath, std::string* error);

}  // namespace morvanix::stub
