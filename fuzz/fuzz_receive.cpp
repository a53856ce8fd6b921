// Arbitrary bytes, cut into arbitrary arrivals, through the frame reader and
// every message handler, with a host that calls back into the control from
// inside its events (and sometimes destroys it).

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <stdexcept>

#include "FuzzSocket.h"
#include "kez/KezTOCSock.h"

namespace {

using kez::KezTOCSock;

struct CallingBackHost : kez::KezTOCSockEvents {
  FuzzedDataProvider* input = nullptr;
  std::unique_ptr<KezTOCSock>* control = nullptr;
  int depth = 0;

  void React() {
    if (!*control || depth > 3 || input->remaining_bytes() == 0) return;
    ++depth;
    KezTOCSock& c = **control;
    switch (input->ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
        c.LogOff();
        break;
      case 1:
        c.Login(input->ConsumeRandomLengthString(16), "pw", "host", 5190);
        break;
      case 2:
        c.SendPacket(input->ConsumeIntegral<int16_t>(), input->ConsumeRandomLengthString(32));
        break;
      case 3:
        c.SetLastChatID(input->ConsumeIntegral<int32_t>());
        break;
      case 4:
        if (input->ConsumeBool()) control->reset();  // the host destroys the control
        break;
      case 5:
        try {
          c.SendChat(input->ConsumeRandomLengthString(8), input->ConsumeRandomLengthString(64),
                     input->ConsumeIntegral<int32_t>());
        } catch (const std::invalid_argument&) {
          // a NUL in the text: refused before anything is sent
        }
        break;
      case 6:
        c.LeaveChat(input->ConsumeRandomLengthString(8), c.LastChatID());
        break;
      default:
        break;  // most events are just received
    }
    --depth;
  }

  void IncomingPacket(const std::string&) override { React(); }
  void LoggedIn(const std::string&, std::vector<std::string>, std::vector<std::string>,
                std::vector<std::string>, std::vector<std::string>, const std::string&,
                int16_t) override {
    React();
  }
  void LoggedOut(const std::string&) override { React(); }
  void Error(int16_t, const std::string&) override { React(); }
  void ScreennameFormat(const std::string&) override { React(); }
  void JoinedChat(const std::string&, int32_t) override { React(); }
  void LeftChat(int32_t) override { React(); }
  void ChatMessage(int32_t, const std::string&, const std::string&) override { React(); }
  void InstantMessage(const std::string&, const std::string&, bool, const std::string&) override {
    React();
  }
  void BuddyUpdate(const std::string&, bool, int16_t, int32_t, int32_t,
                   const std::string&) override {
    React();
  }
  void ConnectionClosed() override { React(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  CallingBackHost host;
  host.input = &input;
  auto socket = std::make_unique<kez::fuzz::FuzzSocket>();
  kez::fuzz::FuzzSocket* sock = socket.get();
  std::unique_ptr<KezTOCSock> control = std::make_unique<KezTOCSock>(std::move(socket), &host);
  host.control = &control;
  control->Login("fuzz", "pw", "host", 5190);
  while (control && input.remaining_bytes() > 0) {
    if (input.ConsumeIntegralInRange<int>(0, 31) == 0) {
      sock->PeerClosed();
      if (control) control->Login("again", "pw", "host", 5190);
      continue;
    }
    sock->connected = true;
    sock->Arrive(input.ConsumeRandomLengthString(4096));
  }
  return 0;
}
