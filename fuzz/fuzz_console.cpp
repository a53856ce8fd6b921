// The console's input: arbitrary bytes, cut into arbitrary reads, split into
// lines and carried out as requests on a control whose socket brings
// arbitrary server bytes in between. The lines must give the input back
// exactly, no request may throw, and every line the console would print must
// be one line of printable ASCII holding one JSON object of the right shape.

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "FuzzSocket.h"
#include "event_printer.h"
#include "json_bytes.h"
#include "line_reader.h"
#include "request.h"

namespace {

using json = nlohmann::ordered_json;
using reposa::console::ToLine;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// What the console would print for `value`: checked, not kept.
void Printed(const json& value) {
  const std::string line = ToLine(value);
  for (const char c : line) Check(c >= 0x20 && c < 0x7f);
  const json back = json::parse(line);
  Check(back.is_object());
}

void Reply(const json& reply) {
  Printed(reply);
  Check(reply.size() == 1 && (reply.contains("result") || reply.contains("error")));
  if (reply.contains("error")) Check(reply["error"].is_string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  reposa::console::EventPrinter printer([](const json& event) { Printed(event); },
                                        in.ConsumeBool());
  auto socket = std::make_unique<kez::fuzz::FuzzSocket>();
  kez::fuzz::FuzzSocket* sock = socket.get();
  kez::KezTOCSock control(std::move(socket), &printer);

  std::string input, lines;
  reposa::console::LineSplitter splitter;
  auto onLine = [&](std::string_view line) {
    lines.append(line).push_back('\n');
    if (auto reply = reposa::console::HandleRequest(control, line)) Reply(*reply);
  };
  while (in.remaining_bytes() > 0) {
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
      if (!sock->connected) sock->Opened();
      sock->Arrive(in.ConsumeRandomLengthString(512));
      continue;
    }
    const std::string chunk = in.ConsumeRandomLengthString(512);
    input += chunk;
    splitter.Feed(chunk, onLine);
  }
  splitter.Finish([&](std::string_view line) {
    lines.append(line);  // the last line had no line feed
    if (auto reply = reposa::console::HandleRequest(control, line)) Reply(*reply);
  });
  Check(lines == input);
  return 0;
}
