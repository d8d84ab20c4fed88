#pragma once

#include <atomic>
#include <string>
#include <thread>

// Serves a simulated adapter's terminal over TCP, as a Wi-Fi adapter serves its own: one
// connection at a time, every byte passed on unchanged both ways. What the adapter sends while
// nobody is connected is lost, as on the real thing. When the terminal goes away (the vanish and
// unplug profiles), the connection is closed and nothing more is accepted.
class TcpAdapterServer {
 public:
  // terminalPath: the simulator's pseudo-terminal (AdapterSimulator::slavePath()).
  TcpAdapterServer(std::string terminalPath, std::string host, int port);
  ~TcpAdapterServer();  // Stop()

  TcpAdapterServer(const TcpAdapterServer&) = delete;
  TcpAdapterServer& operator=(const TcpAdapterServer&) = delete;

  // Listens on host:port (port 0: one the system picks, see Port()) and starts serving.
  // False with error() set on failure.
  bool Start();
  void Stop();
  // Resets every connection open now, as an adapter that loses power does: the one being served
  // and those connected but not yet taken up (a host that closed one connection and opened the
  // next may be waiting there). New connections are still accepted. Returns once the resets are
  // sent.
  void DropConnection();

  const std::string& error() const { return failure_; }
  // The port listened on.
  int Port() const { return port_; }
  // Connections accepted so far.
  int Connections() const { return connections_.load(); }

 private:
  void Serve();
  void CloseClient(bool reset);
  void ResetWaiting();
  void Wake();

  std::string terminalPath_;
  std::string host_;
  int port_;
  int listener_ = -1;
  int terminal_ = -1;
  int client_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> dropAsked_{false};
  std::atomic<bool> serving_{false};
  std::atomic<int> connections_{0};
  std::string failure_;
  std::thread worker_;
};

// Splits "HOST:PORT" (port 1 to 65535); false when malformed.
bool ParseHostPort(const std::string& text, std::string& host, int& port);
