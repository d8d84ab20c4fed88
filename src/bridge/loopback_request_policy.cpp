#include "bridge/loopback_request_policy.h"

#include <memory>
#include <string>
#include <utility>

#include "base/debug_output.h"
#include "bridge/loopback_host.h"
#include "http/server_hooks.h"

namespace morvanix {

using HandlerResponse = httplib::Server::HandlerResponse;

namespace {

// Shown in the user's tab when another site sends the browser here.
constexpr const char* kNavigationRefused =
    "This is the local diagnostics agent; it is called by its web application, not opened in "
    "a tab.\n";

}  // namespace

// Only GET and HEAD have routes: anything else is answered 404 at once, before the library
// reads a body. A GET whose declared body is larger than the payload cap is refused the same
// way (413) instead of being read; a smaller one is read and dropped by the library. A range
// request gets the whole answer, exactly as its handler set it. A request addressed to another
// host (a page of any site whose name was made to resolve to 127.0.0.1) is refused 403 and
// reaches no route; one without a Host header (HTTP/1.0) is served. So is a navigation that
// another site started, with a line for the person who sees it in their tab.
HandlerResponse NormalizeRequest(const httplib::Request& request, httplib::Response& response,
                                 std::size_t maxPayload, int port) {
  httplib::Request& editable = EditableRequest(request);
  if (editable.method != "GET" && editable.method != "HEAD") {
    response.status = 404;
    return HandlerResponse::Handled;
  }
  if (editable.get_header_value_u64("Content-Length") > maxPayload) {
    response.status = 413;
    return HandlerResponse::Handled;
  }
  if (editable.has_header("Host") && !IsLoopbackHost(editable.get_header_value("Host"), port)) {
    response.status = 403;
    return HandlerResponse::Handled;
  }
  if (IsCrossSiteNavigation(editable.get_header_value("Sec-Fetch-Mode"),
                            editable.get_header_value("Sec-Fetch-Dest"),
                            editable.get_header_value("Sec-Fetch-Site"))) {
    response.status = 403;
    response.set_content(kNavigationRefused, "text/plain");
    return HandlerResponse::Handled;
  }
  editable.headers.erase("Range");
  editable.ranges.clear();
  return HandlerResponse::Unhandled;
}

// The library keeps a connection open after any answer it could write, even one that refused
// a request whose unread rest (a body, more header lines, the tail of an overlong line) would
// then be taken for the next request. So a refused request ends its connection: an answer
// whose empty body cannot be written (a provider that gives up at once) is the library's way
// to close after the head has gone out; a refusal with words has them written by a provider
// that then gives up the same way. Ranges are never served, so they are not advertised.
void ShapeAnswer(const httplib::Request&, httplib::Response& response) {
  response.headers.erase("Accept-Ranges");
  if (response.status < 400) return;
  const bool typed = response.has_header("Content-Type");
  const std::string type = response.get_header_value("Content-Type");
  response.headers.erase("Keep-Alive");
  response.set_header("Connection", "close");
  if (response.body.empty()) {
    CloseAfterHead(response, type);
  } else {
    auto text = std::make_shared<const std::string>(std::move(response.body));
    response.body.clear();
    response.set_content_provider(type, [text](std::size_t, httplib::DataSink& sink) {
      sink.write(text->data(), text->size());
      return false;
    });
  }
  response.headers.erase("Content-Type");
  if (typed) response.set_header("Content-Type", type);
}

void AnswerPlainError(const httplib::Request&, httplib::Response& response, std::exception_ptr) {
  DebugOutput("morvanix: a request handler failed; answered 500");
  response.headers.clear();
  response.body.clear();
  response.status = 500;
}

}  // namespace morvanix
