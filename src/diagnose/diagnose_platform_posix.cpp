// The Linux facts: systemctl and /proc.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/folder_posix.h"
#include "base/wait.h"
#include "diagnose/diagnose_platform.h"

extern char** environ;

namespace morvanix {

const char* const kAgentExecutableName = "morvanix-agent";

namespace {

constexpr char kUnitName[] = "morvanix-agent";
constexpr std::chrono::seconds kSystemctlBound{5};
constexpr std::size_t kMaxCommandOutput = 256;

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The first line of what `systemctl is-active` printed, or why it could not say.
bool RunSystemctl(std::string& answer) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    answer = std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  char program[] = "systemctl", verb[] = "is-active", unit[sizeof kUnitName];
  std::memcpy(unit, kUnitName, sizeof kUnitName);
  char* argv[] = {program, verb, unit, nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    answer = spawned == ENOENT ? "" : std::strerror(spawned);
    return false;
  }
  std::string text;
  const Deadline deadline = Deadline::After(kSystemctlBound);
  for (;;) {
    // Its end of the pipe closing is a hang-up, after which what it wrote is still read.
    const WaitOutcome outcome = WaitFor(out[0], Readiness::kRead, deadline, {});
    if (deadline.Passed() || (outcome != WaitOutcome::kReady && outcome != WaitOutcome::kHangUp)) {
      kill(pid, SIGKILL);
      text = "(no answer within 5 s)";
      break;
    }
    char buffer[128];
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    if (text.size() < kMaxCommandOutput) text.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  answer = text.substr(0, text.find('\n'));
  // Without a running systemd it prints nothing on standard output.
  if (answer.empty()) {
    answer = "no state given (exit status " +
             std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
             "; is systemd running here?)";
  }
  return true;
}

}  // namespace

void WaitForKeyIfOwnConsole() {}

std::string OwnExecutablePath() {
  return LinkTarget("/proc/self/exe");
}

CheckLine AgentServiceCheck() {
  std::string state;
  if (!RunSystemctl(state)) {
    if (state.empty()) return {Verdict::kNote, "systemd unit morvanix-agent: no systemctl here"};
    return {Verdict::kNote, "systemd unit morvanix-agent: systemctl cannot be run: " + state};
  }
  const std::string text = "systemd unit morvanix-agent: " + state;
  if (state == "active") return {Verdict::kOk, text};
  if (state == "failed")
    return {Verdict::kFail, text + " (journalctl -u morvanix-agent tells why)"};
  return {Verdict::kNote, text};
}

CheckLine LoopbackPortCheck(int port) {
  const std::string where = "loopback port 127.0.0.1:" + std::to_string(port);
  std::vector<std::uint64_t> inodes = ListeningInodes(ReadSmallFile("/proc/net/tcp"), port, false);
  for (std::uint64_t inode : ListeningInodes(ReadSmallFile("/proc/net/tcp6"), port, true)) {
    inodes.push_back(inode);
  }
  if (inodes.empty()) {
    return {Verdict::kNote, where + ": free (nothing listens there: the agent is not running)"};
  }
  for (const std::string& pid : FolderEntries("/proc")) {
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    const std::string fdFolder = "/proc/" + pid + "/fd";
    for (const std::string& fd : FolderEntries(fdFolder)) {
      const std::uint64_t inode = SocketInode(LinkTarget(fdFolder + "/" + fd));
      if (inode == 0 || std::find(inodes.begin(), inodes.end(), inode) == inodes.end()) continue;
      std::string name = ReadSmallFile("/proc/" + pid + "/comm");
      name = name.substr(0, name.find('\n'));
      const std::string text = where + ": taken by " + name + " (process " + pid + ")";
      // The kernel cuts process names at 15 characters.
      if (name == "morvanix-agent" || name == std::string(kAgentExecutableName).substr(0, 15)) {
        return {Verdict::kOk, text};
      }
      return {Verdict::kFail, text + ", so the agent cannot listen"};
    }
  }
  return {Verdict::kNote,
          where + ": taken by a process this user may not look into (run as root to see which)"};
}

}  // namespace morvanix
