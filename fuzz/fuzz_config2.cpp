// Stored configurations of any shape, over one or more CONFIG2 messages.

#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzSocket.h"
#include "kez/KezTOCSock.h"

namespace {

std::string DataFrame(const std::string& payload) {
  std::string f = {'*',
                   2,
                   0,
                   0,
                   static_cast<char>(payload.size() >> 8),
                   static_cast<char>(payload.size() & 0xff)};
  return f + payload;
}

struct Checker : kez::KezTOCSockEvents {
  void LoggedIn(const std::string&, std::vector<std::string> buddies,
                std::vector<std::string> blocked, std::vector<std::string> permitted,
                std::vector<std::string> misc, const std::string&, int16_t mode) override {
    // A mode is one digit; no entry can hold a line feed.
    if (mode < 0 || mode > 9) __builtin_trap();
    for (const auto* list : {&buddies, &blocked, &permitted, &misc})
      for (const std::string& item : *list)
        if (item.find('\n') != std::string::npos) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Checker checker;
  auto socket = std::make_unique<kez::fuzz::FuzzSocket>();
  kez::fuzz::FuzzSocket* sock = socket.get();
  kez::KezTOCSock control(std::move(socket), &checker);
  sock->Opened();
  while (input.remaining_bytes() > 0) {
    std::string text = input.ConsumeRandomLengthString(8000);
    if (input.ConsumeBool()) text += "done:\n";
    if (text.size() + 8 > 65535) continue;
    sock->Arrive(DataFrame("CONFIG2:" + text));
  }
  return 0;
}
