#include "private_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace {

constexpr const char* kConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>morvanix-test</type>
  <listen>unix:dir=@DIR@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

}  // namespace

PrivateBus::~PrivateBus() {
  Stop();
}

bool PrivateBus::Start(std::chrono::milliseconds wait) {
  std::string config = kConfig;
  config.replace(config.find("@DIR@"), 5, folder_.Path().string());
  const std::string configPath = (folder_.Path() / "bus.conf").string();
  std::ofstream(configPath) << config;
  const std::string configArgument = "--config-file=" + configPath;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = "no pipe";
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 3);  // dup2 clears close-on-exec on the copy
    const int null = open("/dev/null", O_RDWR);
    // Its complaints about descriptor limits are no test's business.
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    execlp("dbus-daemon", "dbus-daemon", configArgument.c_str(), "--nofork", "--nopidfile",
           "--print-address=3", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  if (pid_ < 0) {
    close(out[0]);
    error_ = "cannot fork";
    return false;
  }
  // The daemon prints its address once it listens: read to the line's end.
  const auto until = std::chrono::steady_clock::now() + wait;
  std::string line;
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd p{out[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  const std::size_t end = line.find('\n');
  if (end == std::string::npos) {
    error_ = "dbus-daemon printed no address (is the package dbus-daemon installed?)";
    Stop();
    return false;
  }
  address_ = line.substr(0, end);
  return true;
}

void PrivateBus::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}
