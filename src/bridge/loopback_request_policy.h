#pragma once

#include <httplib.h>

#include <cstddef>
#include <exception>

namespace morvanix {

// What the loopback endpoint lets through to its routes and how it shapes every answer: the
// three hooks the loopback server installs in the library.

// Before routing: refuses what no route may see (other methods, oversized bodies, requests
// addressed to another host) and strips what no answer honours (ranges). `port` is the port
// being served, which a Host header may name.
httplib::Server::HandlerResponse NormalizeRequest(const httplib::Request& request,
                                                  httplib::Response& response,
                                                  std::size_t maxPayload, int port);

// After routing, just before an answer is written: a refused request ends its connection, and
// ranges are not advertised.
void ShapeAnswer(const httplib::Request& request, httplib::Response& response);

// A failing handler gets a bare 500; the exception's text is neither sent nor logged.
void AnswerPlainError(const httplib::Request& request, httplib::Response& response,
                      std::exception_ptr error);

}  // namespace morvanix
