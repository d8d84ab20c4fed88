#pragma once

#include <cstdint>

#include "service/service_host.h"

namespace morvanix {

// The service main function named in the dispatcher table; both arguments are ignored.
void ServiceMain(std::uint32_t argc, char** argv);

// The control handler; only a stop received while RUNNING is acted on.
void ServiceControlHandler(std::uint32_t control);

namespace detail {

// Stops the loopback server, logging "Stopping the http server: " when it is running; a
// stop before it listens is kept and ends it as soon as it does. Exposed for tests.
void StopHttpServer();

}  // namespace detail

// The work of main: the descriptor limit raised, the event log path next to the executable,
// then the dispatcher under the service name. Returns the process exit code.
int RunServiceProcess(ServiceHost& host);

}  // namespace morvanix
