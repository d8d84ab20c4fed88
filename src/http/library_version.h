#pragma once

#include <httplib.h>

#include <string_view>

// The agent reaches into the HTTP library beyond its public interface in two places, the
// client's (remote/post_client.h) and the server's (http/server_hooks.h); both were written
// for one version, and a new one is read against them first.
static_assert(std::string_view(CPPHTTPLIB_VERSION) == "0.18.7",
              "the hooks into the HTTP library were written for 0.18.7: read them against the "
              "new version's ClientImpl::send_, Server::process_request and their members");
