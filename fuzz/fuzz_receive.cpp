// Arbitrary bytes, cut into arbitrary arrivals, through the frame reader and
// every message handler, with a host that calls back into the control from
// inside its events, sometimes destroys it, and sometimes throws.

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <stdexcept>

#include "FuzzSocket.h"
#include "kez/KezTOCSock.h"

namespace {

using kez::KezTOCSock;

struct CallingBackHost;

// Every event of the listener reacts.
struct ReactToEvent {
  CallingBackHost* host;
  template <class... Args>
  void operator()(std::string_view, const Args&...) const;
};

struct CallingBackHost : kez::EventForwarder<ReactToEvent> {
  CallingBackHost() : kez::EventForwarder<ReactToEvent>(ReactToEvent{this}) {}
  FuzzedDataProvider* input = nullptr;
  std::unique_ptr<KezTOCSock>* control = nullptr;
  kez::fuzz::FuzzSocket* sock = nullptr;
  int depth = 0;

  void React() {
    if (!*control || depth > 3 || input->remaining_bytes() == 0) return;
    struct Depth {
      int& d;
      explicit Depth(int& value) : d(++value) {}
      ~Depth() { --d; }
    } guard(depth);
    KezTOCSock& c = **control;
    switch (input->ConsumeIntegralInRange<int>(0, 12)) {
      case 0:
        c.LogOff();
        break;
      case 1:
        // A name the control refuses throws out of this handler, too.
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
      case 7:
        // A handler that runs an event loop of its own, sometimes after
        // signing on again: more bytes arrive nested inside the event.
        if (input->ConsumeBool()) {
          c.Login("nested", "pw", "host", 5190);
          sock->Opened();
        }
        sock->Arrive(input->ConsumeRandomLengthString(64));
        break;
      case 8:
        sock->Fail(input->ConsumeIntegral<int>(), input->ConsumeRandomLengthString(16));
        break;
      case 9:
        throw std::runtime_error("a fault of the host");  // the control must carry on
      default:
        break;  // most events are just received
    }
  }
};

template <class... Args>
void ReactToEvent::operator()(std::string_view, const Args&...) const {
  host->React();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  CallingBackHost host;
  host.input = &input;
  auto socket = std::make_unique<kez::fuzz::FuzzSocket>();
  kez::fuzz::FuzzSocket* sock = socket.get();
  std::unique_ptr<KezTOCSock> control = std::make_unique<KezTOCSock>(std::move(socket), &host);
  host.control = &control;
  host.sock = sock;
  control->Login("fuzz", "pw", "host", 5190);
  sock->Opened();
  while (control && input.remaining_bytes() > 0) {
    // A handler's exception reaches the host's loop here, after the control
    // finished its own work.
    try {
      if (input.ConsumeIntegralInRange<int>(0, 31) == 0) {
        sock->PeerClosed();
        if (control) control->Login("again", "pw", "host", 5190);
        if (control) sock->Opened();
        continue;
      }
      if (!sock->connected) sock->Opened();
      sock->Arrive(input.ConsumeRandomLengthString(4096));
    } catch (const std::exception&) {
    }
  }
  return 0;
}
