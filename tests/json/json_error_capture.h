// Captures the parser's diagnostics for the life of the object.
#pragma once

#include <sstream>
#include <string>

#include "json/json_value.h"

namespace morvanix {

class JsonErrorCapture {
 public:
  JsonErrorCapture() { SetJsonErrorStream(&stream_); }
  ~JsonErrorCapture() { SetJsonErrorStream(nullptr); }
  JsonErrorCapture(const JsonErrorCapture&) = delete;
  JsonErrorCapture& operator=(const JsonErrorCapture&) = delete;

  std::string text() const { return stream_.str(); }

 private:
  std::ostringstream stream_;
};

}  // namespace morvanix
