// The receive path: a server stream through the frame reader and dispatch to
// a listener that does nothing, in arrivals of several sizes; and, as the
// references its figures are weighed against, the same stream through a
// transcription of the naive reader (join, take the first frame, copy the
// rest into a new string) and a plain copy of the same bytes.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "ReplaySocket.h"
#include "ServerStream.h"
#include "kez/KezTOCSock.h"
#include "wire.h"

namespace kez::bench {
namespace {

constexpr std::size_t kStreamBytes = 16 << 20;

// Streams are made once per size and kept for the whole program.
const ServerStream& Stream(std::size_t bytes) {
  static std::map<std::size_t, ServerStream> streams;
  auto it = streams.find(bytes);
  if (it == streams.end()) it = streams.emplace(bytes, MakeServerStream(bytes)).first;
  return it->second;
}

void Report(benchmark::State& state, const ServerStream& s) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes.size()));
  state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(state.iterations() * s.frames),
                                                benchmark::Counter::kIsRate);
  state.counters["s/frame"] =
      benchmark::Counter(static_cast<double>(state.iterations() * s.frames),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Arg: arrival size in bytes; 0 means the whole stream in one arrival.
void BM_Reader(benchmark::State& state) {
  const ServerStream& s = Stream(kStreamBytes);
  const std::size_t arrival =
      state.range(0) ? static_cast<std::size_t>(state.range(0)) : s.bytes.size();
  KezTOCSockEvents silent;
  auto socket = std::make_unique<ReplaySocket>();
  ReplaySocket* sock = socket.get();
  KezTOCSock control(std::move(socket), &silent);
  sock->Connected();
  for (auto _ : state) {
    const std::string_view all = s.bytes;
    for (std::size_t pos = 0; pos < all.size(); pos += arrival)
      sock->Arrive(all.substr(pos, std::min(arrival, all.size() - pos)));
  }
  Report(state, s);
}
BENCHMARK(BM_Reader)->Arg(1)->Arg(7)->Arg(1460)->Arg(65536)->Arg(0)->Unit(benchmark::kMillisecond);

// The naive reader, kept here only as the yardstick.
struct BaselineReader {
  std::string receiveBuffer;
  SessionCore* control;  // each whole frame goes through it as one arrival
  void Arrival(std::string data) {
    std::string d = std::move(data);
    for (;;) {
      if (!receiveBuffer.empty()) {
        d = receiveBuffer + d;
        receiveBuffer = "";
      }
      const std::size_t length =
          static_cast<std::size_t>(wire::BytesToWord(d.size() > 4 ? d.substr(4, 2) : "")) + 6;
      if (d.size() == length) {
        control->Receive(d);
        return;
      }
      if (d.size() < length) {
        receiveBuffer = d;
        return;
      }
      control->Receive(std::string_view(d).substr(0, length));
      d = d.substr(length);
      if (d.empty()) return;
    }
  }
};

// Args: stream size, arrival size (0: one arrival). The single-arrival cost
// grows with the square of the stream: 1, 2 and 4 MiB show the trend, and the
// full 16 MiB runs once (about a minute) under its own name.
void BM_BaselineReader(benchmark::State& state) {
  const ServerStream& s = Stream(static_cast<std::size_t>(state.range(0)));
  const std::size_t arrival =
      state.range(1) ? static_cast<std::size_t>(state.range(1)) : s.bytes.size();
  KezTOCSockEvents silent;
  SessionCore control(&silent);
  control.SetSend([](std::string_view) {});
  control.Opened();
  BaselineReader reader{{}, &control};
  for (auto _ : state) {
    for (std::size_t pos = 0; pos < s.bytes.size(); pos += arrival)
      reader.Arrival(s.bytes.substr(pos, std::min(arrival, s.bytes.size() - pos)));
  }
  Report(state, s);
}
BENCHMARK(BM_BaselineReader)
    ->Args({kStreamBytes, 1460})
    ->Args({1 << 20, 0})
    ->Args({2 << 20, 0})
    ->Args({4 << 20, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineReader)
    ->Name("BM_BaselineReaderOnce")
    ->Args({kStreamBytes, 0})
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);

// Large frames: 64 KiB payloads, 16 MiB of them.
const ServerStream& LargeFrames() {
  static const ServerStream s = [] {
    ServerStream made;
    const std::string frame = test::Frame(3, std::string(65535, 'x'));
    while (made.bytes.size() < kStreamBytes) {
      made.bytes += frame;
      ++made.frames;
    }
    return made;
  }();
  return s;
}

// The large frames as one arrival.
void BM_ReaderLargeFrames(benchmark::State& state) {
  const ServerStream& s = LargeFrames();
  KezTOCSockEvents silent;
  auto socket = std::make_unique<ReplaySocket>();
  ReplaySocket* sock = socket.get();
  KezTOCSock control(std::move(socket), &silent);
  sock->Connected();
  for (auto _ : state) sock->Arrive(s.bytes);
  Report(state, s);
}
BENCHMARK(BM_ReaderLargeFrames)->Unit(benchmark::kMillisecond);

// The reference for the large frames: one copy of the same bytes into a
// buffer that is already there, the least any reader does with them.
void BM_MemcpyLargeFrames(benchmark::State& state) {
  const ServerStream& s = LargeFrames();
  std::string into(s.bytes.size(), '\0');
  for (auto _ : state) {
    std::memcpy(into.data(), s.bytes.data(), s.bytes.size());
    benchmark::ClobberMemory();
  }
  Report(state, s);
}
BENCHMARK(BM_MemcpyLargeFrames)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kez::bench

BENCHMARK_MAIN();
