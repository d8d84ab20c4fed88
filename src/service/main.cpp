#include "service/service_host.h"
#include "service/service_lifecycle.h"

int main() {
  return morvanix::RunServiceProcess(morvanix::PlatformServiceHost());
}
