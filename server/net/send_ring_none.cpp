// Built without liburing: there is no ring, and every send goes by send().

#include "net/send_ring.h"

namespace reposa::server {

std::unique_ptr<SendRing> SendRing::Open(unsigned, std::string& why) {
  why = "io_uring is not built in";
  return nullptr;
}

}  // namespace reposa::server
