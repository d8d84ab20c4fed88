#include "bridge/route_handlers.h"

namespace {

void AnswerBlank(httplib::Response& response) {
  response.set_content(" ", "text/plain");
}

}  // namespace

void HandleAgentCheck(const httplib::Request&, httplib::Response& response) {
  AnswerBlank(response);
}

void HandleRequest(const httplib::Request&, httplib::Response&) {}

void HandleRepeatedRequest(const httplib::Request&, httplib::Response& response) {
  AnswerBlank(response);
}

void HandleStopRepeat(const httplib::Request&, httplib::Response& response) {
  AnswerBlank(response);
}
