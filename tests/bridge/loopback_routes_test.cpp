// What the browser sees of the loopback API: which paths and methods reach which route,
// and the exact bytes of every answer.
#include <gtest/gtest.h>

#include <algorithm>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bridge/route_table.h"
#include "raw_http.h"
#include "serving_loopback.h"

using namespace morvanix;

namespace {

struct Hit {
  std::size_t route;
  std::string ssid;
  std::string method;
};

// The real route patterns, each with a handler that records its call and answers " ".
// The real handlers are left out: they post to the remote server and scan serial ports.
class RecordedRoutes {
 public:
  RecordedRoutes() {
    BridgeState agent;  // only the patterns are taken
    const auto table = RouteTable(agent);
    for (std::size_t i = 0; i < table.size(); ++i) {
      routes_.push_back({table[i].pattern,
                         [this, i](const httplib::Request& request, httplib::Response& response) {
                           {
                             std::lock_guard<std::mutex> lock(mutex_);
                             hits_.push_back({i, request.matches[1].str(), request.method});
                           }
                           response.set_content(" ", "text/plain");
                         }});
    }
  }

  void Register(httplib::Server& server) { RegisterRoutes(server, routes_); }

  std::vector<Hit> TakeHits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(hits_, {});
  }

 private:
  std::vector<Route> routes_;
  std::mutex mutex_;
  std::vector<Hit> hits_;
};

TEST(BridgeRoutes, WholePathWithoutQueryPicksTheRoute) {
  RecordedRoutes routes;
  ServingLoopback serving([&routes](httplib::Server& server) { routes.Register(server); });
  ASSERT_GT(serving.Port(), 0);

  constexpr std::size_t kNone = 99;
  struct Case {
    const char* method;
    const char* target;
    int status;
    std::size_t route;
    const char* ssid;
    const char* headers = "";
  };
  const char* navigation =
      "Sec-Fetch-Mode: navigate\r\nsec-fetch-dest: document\r\nSec-Fetch-Site: cross-site\r\n";
  const std::vector<Case> cases = {
      {"GET", "/AC/abc", 200, 0, "abc"},     {"GET", "/AC/abc?x=1", 200, 0, "abc"},
      {"GET", "/AC/", 404, kNone, ""},       {"GET", "/AC/ab-c", 404, kNone, ""},
      {"GET", "/AC/abc/", 404, kNone, ""},   {"GET", "/XAC/abc", 404, kNone, ""},
      {"GET", "/ac/abc", 404, kNone, ""},    {"GET", "/RQ/abc", 200, 1, "abc"},
      {"HEAD", "/RQ/abc", 200, 1, "abc"},    {"GET", "/RMQ/Session_42", 200, 2, "Session_42"},
      {"GET", "/RSQ/x", 200, 3, "x"},        {"GET", "/RSQ/-", 404, kNone, ""},
      {"GET", "/RSQ/a%20b", 404, kNone, ""}, {"GET", "/", 404, kNone, ""},
      {"POST", "/RQ/abc", 404, kNone, ""},   {"PUT", "/RQ/abc", 404, kNone, ""},
      {"DELETE", "/RQ/abc", 404, kNone, ""}, {"OPTIONS", "/RQ/abc", 404, kNone, ""},
      {"PATCH", "/RSQ/abc", 404, kNone, ""}, {"GET", "/RQ/abc", 403, kNone, "", navigation},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    const bool head = std::string(c.method) == "HEAD";
    auto response = RawRequest(serving.Port(), GetRequest(c.method, c.target, c.headers), head);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    const std::vector<Hit> hits = routes.TakeHits();
    if (c.route == kNone) {
      EXPECT_TRUE(hits.empty());
    } else {
      ASSERT_EQ(hits.size(), 1u);
      EXPECT_EQ(hits[0].route, c.route);
      EXPECT_EQ(hits[0].ssid, c.ssid);
      EXPECT_EQ(hits[0].method, c.method);
    }
  }
}

// The status line, the header lines in name order, and the body: the library writes its
// headers in no fixed order.
std::string Canonical(const std::string& raw) {
  const std::size_t headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return "(no head) " + raw;
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = raw.find("\r\n", at)) != std::string::npos && at < headEnd;
       at = end + 2) {
    lines.push_back(raw.substr(at, end - at));
  }
  std::sort(lines.begin() + 1, lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out + "\r\n" + raw.substr(headEnd + 4);
}

TEST(BridgeRoutes, EveryAnswerIsExactlyTheFixedOne) {
  BridgeState agent;
  ASSERT_FALSE(agent.adapterConnected.load());
  ServingLoopback serving(RoutesOf(agent));
  ASSERT_GT(serving.Port(), 0);

  const std::string blank =
      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Type: text/plain\r\n"
      "Keep-Alive: timeout=5, max=5\r\n\r\n";
  const std::string empty =
      "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nKeep-Alive: timeout=5, max=5\r\n\r\n";
  // A refused request ends its connection.
  const std::string notFound =
      "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  struct Case {
    const char* method;
    const char* target;
    std::string expected;
  };
  // The real handlers, on routes whose work here is local: no adapter has been found, so
  // "/RQ/" and "/RMQ/" only log, and "/RSQ/" only clears the budget. "/AC/" would post to
  // the remote server and scan serial ports; the end-to-end tests cover its answer.
  const std::vector<Case> cases = {
      {"GET", "/RQ/x", empty},        {"GET", "/RMQ/x", blank + " "},
      {"GET", "/RSQ/x", blank + " "}, {"HEAD", "/RQ/x", empty},
      {"HEAD", "/RSQ/x", blank},      {"GET", "/nothing", notFound},
      {"HEAD", "/nothing", notFound},
  };
  // Headers that would otherwise have the library compress the answer or cut a range.
  const std::vector<std::string> extras = {
      "",
      "Accept-Encoding: gzip\r\n",
      "Accept-Encoding: br, gzip, deflate\r\n",
      "Range: bytes=0-0\r\n",
      "Range: bytes=1-\r\n",
      "Accept-Encoding: gzip\r\nRange: bytes=0-0, 1-1\r\n",
  };
  for (const Case& c : cases) {
    for (const std::string& extra : extras) {
      SCOPED_TRACE(std::string(c.method) + " " + c.target + " with " + extra);
      const bool head = std::string(c.method) == "HEAD";
      auto response = RawRequest(serving.Port(), GetRequest(c.method, c.target, extra), head);
      ASSERT_TRUE(response);
      EXPECT_EQ(Canonical(response->raw), c.expected);
    }
  }
}

TEST(BridgeRoutes, RefusalsAreAnsweredBeforeAnyBodyIsRead) {
  BridgeState agent;
  ServingLoopback serving(RoutesOf(agent));
  ASSERT_GT(serving.Port(), 0);

  // Bodies that never arrive: answering at once shows that none of them is waited for.
  // A GET's body is no request either: one larger than the payload cap is refused unread, and
  // so is the body of a refused navigation, whose answer has words for the user's tab.
  const std::string inner = "GET /RSQ/abc HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string notFound =
      "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  const std::string refusedText =
      "This is the local diagnostics agent; it is called by its web application, not opened in "
      "a tab.\n";
  struct Case {
    std::string request;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"POST /RQ/abc HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\nabc",
       notFound},
      {"POST /RQ/abc HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\nabc", notFound},
      {"PUT /AC/abc HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n", notFound},
      {"DELETE /RSQ/abc HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n"
       "Transfer-Encoding: chunked\r\n\r\n",
       notFound},
      {"POST /RSQ/abc HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(inner.size()) +
           "\r\n\r\n" + inner,
       notFound},
      {"GET /RSQ/abc HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n" + inner,
       "HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n"},
      {"GET /RQ/abc HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Mode: navigate\r\n"
       "Sec-Fetch-Dest: document\r\nSec-Fetch-Site: cross-site\r\nRange: bytes=0-3\r\n"
       "Content-Length: " +
           std::to_string(inner.size()) + "\r\n\r\n" + inner,
       "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: " +
           std::to_string(refusedText.size()) + "\r\nContent-Type: text/plain\r\n\r\n" +
           refusedText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, c.request.find('\r')));
    RawConnection connection(serving.Port());
    ASSERT_TRUE(connection.Send(c.request));
    auto response = connection.Read(false, std::chrono::seconds(2));
    ASSERT_TRUE(response);
    EXPECT_EQ(Canonical(response->raw), c.answer);
    EXPECT_TRUE(connection.ClosedWithin(std::chrono::seconds(2)));
    EXPECT_FALSE(connection.Read(false, std::chrono::milliseconds(100))) << "a body was served";
  }
}

TEST(BridgeRoutes, HandlerExceptionIsAnsweredWithAPlain500) {
  ServingLoopback serving([](httplib::Server& server) {
    server.Get("/std", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("partial", "text/plain");
      response.set_header("X-Secret", "1");
      throw std::runtime_error("secret detail");
    });
    server.Get("/other", [](const httplib::Request&, httplib::Response&) { throw 42; });
  });
  ASSERT_GT(serving.Port(), 0);

  for (const char* target : {"/std", "/other"}) {
    SCOPED_TRACE(target);
    auto response = RawRequest(serving.Port(), GetRequest("GET", target));
    ASSERT_TRUE(response);
    EXPECT_EQ(Canonical(response->raw),
              "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n"
              "Content-Length: 0\r\n\r\n");
  }
}

}  // namespace
