// The Windows facts: the service control manager and the TCP table.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <conio.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/service_types.h"
#include "diagnose/diagnose_platform.h"

namespace morvanix {

const char* const kAgentExecutableName = "morvanix-agent.exe";

namespace {

std::string ErrorText(DWORD code) {
  char text[512] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr);
  std::string words(text, n);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  return words.empty() ? "error " + std::to_string(code) : words;
}

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "starting";
    case SERVICE_STOP_PENDING:
      return "stopping";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_CONTINUE_PENDING:
      return "continuing";
    case SERVICE_PAUSE_PENDING:
      return "pausing";
    case SERVICE_PAUSED:
      return "paused";
    default:
      return "in an unknown state";
  }
}

std::string ProcessName(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return {};
  char path[MAX_PATH] = "";
  DWORD size = sizeof path;
  std::string name;
  if (QueryFullProcessImageNameA(process, 0, path, &size)) {
    name.assign(path, size);
    const std::size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) name = name.substr(slash + 1);
  }
  CloseHandle(process);
  return name;
}

}  // namespace

void WaitForKeyIfOwnConsole() {
  DWORD processes[2];
  DWORD mode = 0;
  // Only this process on its console, read and written directly: the window goes when it
  // exits. Redirected, or started from a prompt, it ends at once.
  if (GetConsoleProcessList(processes, 2) != 1 ||
      !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) ||
      !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    return;
  }
  std::fputs("\nPress a key to close this window.\n", stdout);
  std::fflush(stdout);
  (void)_getch();
}

std::string OwnExecutablePath() {
  std::vector<char> path(32768);
  const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return {};
  return std::string(path.data(), length);
}

CheckLine AgentServiceCheck() {
  const std::string what = std::string("service ") + kServiceName;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    return {Verdict::kNote,
            what + ": the service manager cannot be asked: " + ErrorText(GetLastError())};
  }
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return {Verdict::kNote, what + ": not installed"};
    return {Verdict::kNote, what + ": cannot be asked: " + ErrorText(error)};
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  const BOOL queried = QueryServiceStatusEx(
      service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
  const DWORD error = GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!queried) return {Verdict::kNote, what + ": its state cannot be read: " + ErrorText(error)};
  std::string text = what + ": " + StateName(status.dwCurrentState);
  if (status.dwProcessId != 0) text += " (process " + std::to_string(status.dwProcessId) + ")";
  if (status.dwCurrentState == SERVICE_RUNNING) return {Verdict::kOk, text};
  if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode != NO_ERROR &&
      status.dwWin32ExitCode != ERROR_SERVICE_NEVER_STARTED) {
    return {Verdict::kFail, text + ", last exit: " + ErrorText(status.dwWin32ExitCode)};
  }
  return {Verdict::kNote, text};
}

CheckLine LoopbackPortCheck(int port) {
  const std::string where = "loopback port 127.0.0.1:" + std::to_string(port);
  std::vector<char> table;
  DWORD size = 0;
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  // The table can grow between the two calls; a few tries are plenty.
  for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    table.resize(size == 0 ? sizeof(MIB_TCPTABLE_OWNER_PID) : size);
    size = static_cast<DWORD>(table.size());
    result =
        GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  }
  if (result != NO_ERROR) {
    return {Verdict::kNote, where + ": the TCP table cannot be read: " + ErrorText(result)};
  }
  const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
  const DWORD loopback = htonl(INADDR_LOOPBACK);
  for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = rows->table[i];
    if (ntohs(static_cast<u_short>(row.dwLocalPort)) != port) continue;
    if (row.dwLocalAddr != loopback && row.dwLocalAddr != INADDR_ANY) continue;
    if (row.dwOwningPid == 0) {
      // Wine, for one, fills the table without owners.
      return {Verdict::kNote, where + ": taken; the system does not say by which process"};
    }
    const std::string name = ProcessName(row.dwOwningPid);
    const std::string text = where + ": taken by " + (name.empty() ? "a process" : name) +
                             " (process " + std::to_string(row.dwOwningPid) + ")";
    if (_stricmp(name.c_str(), kAgentExecutableName) == 0) return {Verdict::kOk, text};
    return {Verdict::kFail, text + ", so the agent cannot listen"};
  }
  return {Verdict::kNote, where + ": free (nothing listens there: the agent is not running)"};
}

}  // namespace morvanix
