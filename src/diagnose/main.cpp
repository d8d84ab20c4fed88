// morvanix-diagnose: tells a person in plain words what works and what does not around the
// agent. Reads only; its one network access is a TCP connection to the remote server.
#include <cstring>
#include <iostream>

#include "diagnose/diagnose_checks.h"

namespace {

constexpr char kUsage[] =
    "Usage: morvanix-diagnose [--help | --version]\n"
    "\n"
    "Checks what the Morvanix agent needs and prints one line per check, its verdict first\n"
    "(ok, FAIL, note), then a one-sentence summary:\n"
    "  - this program, the agent's executable and the last lines of its event log;\n"
    "  - the agent's service (systemd unit or Windows service) and the loopback port\n"
    "    127.0.0.1:8070 (free, or which process holds it; the agent is sent nothing);\n"
    "  - the remote server: its addresses and one TCP connection (nothing is posted);\n"
    "  - every serial device, probed as the agent's scan probes it.\n"
    "It writes nothing anywhere. Exit status 0 when an adapter answered and the remote\n"
    "server took the connection, 1 otherwise.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::cout << kUsage;
    morvanix::WaitForKeyIfOwnConsole();
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "morvanix-diagnose " MORVANIX_VERSION "\n" << morvanix::BuildSettings() << "\n";
    return 0;
  }
  if (argc > 1) {
    std::cerr << "morvanix-diagnose: unknown argument " << argv[1] << "\n" << kUsage;
    return 2;
  }
  const int status = morvanix::RunDiagnosis(std::cout);
  morvanix::WaitForKeyIfOwnConsole();
  return status;
}
