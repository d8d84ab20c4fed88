#include "http/server_hooks.h"

#include "http/timed_stream.h"

namespace morvanix {

bool HookedServer::ServeRequests(SocketHandle sock, std::chrono::milliseconds requestTime,
                                 const StopToken& stop) {
  IoLimits limits;
  limits.readIdle =
      std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_);
  limits.writeIdle =
      std::chrono::seconds(write_timeout_sec_) + std::chrono::microseconds(write_timeout_usec_);
  limits.stop = stop;
  PlainTransport transport(sock);
  bool served = false;
  for (std::size_t left = keep_alive_max_count_; left > 0 && !stop.StopRequested(); --left) {
    limits.readDeadline = Deadline::After(requestTime);
    TimedStream stream(transport, limits);
    bool closeAfter = false;
    served =
        process_request(stream, std::string(), 0, std::string(), 0, left == 1, closeAfter, nullptr);
    if (!served || closeAfter) break;
  }
  return served;
}

httplib::Request& EditableRequest(const httplib::Request& request) {
  return const_cast<httplib::Request&>(request);
}

void CloseAfterHead(httplib::Response& response, const std::string& contentType) {
  response.set_content_provider(contentType, [](std::size_t, httplib::DataSink&) { return false; });
}

}  // namespace morvanix
