// FLAP frames: "*", type, 16-bit sequence number, 16-bit payload length,
// payload; all big-endian.

#include <stdexcept>

#include "core.h"
#include "wire.h"

namespace kez {

namespace {
constexpr std::size_t kHeaderSize = 6;
constexpr int16_t kDataFrame = 2;
}  // namespace

void SessionCore::Impl::Emit(std::string_view bytes) {
  if (send_) {
    CallOwner([&] { send_(bytes); });
  } else {
    output_.append(bytes);
  }
}

void SessionCore::Impl::SendPacket(int16_t intChannel, std::string_view strData) {
  if (!open_) return;
  const std::size_t length = strData.size() + (intChannel == kDataFrame ? 1 : 0);
  // A longer payload cannot be framed; sending it without its length field
  // would desynchronise the stream.
  if (length > kMaxPayload) return;
  if (sequenceNumber_ > 65535) sequenceNumber_ = 0;
  if (intChannel < 0 || intChannel > 255) {
    ++sequenceNumber_;  // the type cannot be encoded, but the number is spent
    return;
  }
  std::string frame;
  frame.reserve(kHeaderSize + length);
  frame.push_back('*');
  frame.push_back(static_cast<char>(intChannel));
  frame += wire::WordToBytes(sequenceNumber_);
  frame += wire::WordToBytes(static_cast<int32_t>(length));
  frame += strData;
  if (intChannel == kDataFrame) frame.push_back('\0');
  ++sequenceNumber_;
  Emit(frame);
}

void SessionCore::Impl::CheckCommandLine(std::string_view line) {
  if (line.find('\0') != std::string_view::npos)
    throw std::invalid_argument("command argument holds a NUL byte");
  if (line.size() + 1 > kMaxPayload) throw std::length_error("command line does not fit one frame");
}

void SessionCore::Impl::SendCommand(const CommandLine& line) {
  CheckCommandLine(line.text);
  // Nothing may reach the server ahead of the sign-on; like a send on a
  // closed connection, an early command is dropped, not kept.
  if (!line.send || state_ == SessionState::Closed || state_ == SessionState::Connecting) return;
  SendPacket(kDataFrame, line.text);
}

void SessionCore::Impl::Receive(std::string_view bytes) {
  // Bytes of a connection not open (or no longer open) belong to no session.
  if (!open_) return;
  ReadArrival([bytes](std::string& buffer) { buffer.append(bytes); });
}

void SessionCore::Impl::ReceiveFrom(void (*append)(void* reader, std::string& buffer),
                                    void* reader) {
  if (!open_) {
    std::string dropped;  // taken from the reader all the same, so it does not wait
    append(reader, dropped);
    return;
  }
  ReadArrival([append, reader](std::string& buffer) { append(reader, buffer); });
}

template <class Append>
void SessionCore::Impl::ReadArrival(const Append& append) {
  if (reading_) {
    // A handler further up is still cutting frames out of rx_; these bytes
    // follow them, so they wait until the frame in hand is done.
    append(rxNested_);
    return;
  }
  const std::size_t before = rx_.size();
  append(rx_);
  const std::size_t arrival = rx_.size() - before;
  // Most small arrivals complete no frame: no event can follow, so nothing
  // needs guarding.
  const std::string_view all = rx_;
  if (all.size() < kHeaderSize || all.size() < kHeaderSize + wire::BytesToWord(all.substr(4, 2))) {
    TrimBuffer(arrival);
    return;
  }
  std::shared_ptr<bool> alive = alive_;
  Entry entry(*this);
  reading_ = true;
  ReadFrames(alive);
  if (!*alive) {
    entry.Rethrow();  // destroyed by the host
    return;
  }
  rx_.erase(0, rxPos_);
  rxPos_ = 0;
  TrimBuffer(arrival);
  reading_ = false;
  entry.Rethrow();
}

void SessionCore::Impl::ReadFrames(const std::shared_ptr<bool>& alive) {
  for (;;) {
    const std::string_view rest = std::string_view(rx_).substr(rxPos_);
    if (rest.size() < kHeaderSize) return;
    const std::size_t frameSize = kHeaderSize + wire::BytesToWord(rest.substr(4, 2));
    if (rest.size() < frameSize) return;
    rxPos_ += frameSize;
    ProcessFrame(rest.substr(0, frameSize));
    if (!*alive) return;
    if (discardRx_) {
      // Login ran inside a handler: the rest of rx_ belongs to the old
      // connection and is dropped; what arrived nested since then is the
      // new one's, and is read next.
      rx_ = std::move(rxNested_);
      rxNested_.clear();
      rxPos_ = 0;
      discardRx_ = false;
    } else if (!rxNested_.empty()) {
      rx_ += rxNested_;
      rxNested_.clear();
    }
  }
}

void SessionCore::Impl::TrimBuffer(std::size_t arrival) {
  // A burst of large arrivals reuses one buffer; the first arrival that fills
  // less than an eighth of it gives it back, so a session does not keep a
  // burst's memory once its traffic is small again.
  constexpr std::size_t kKeptBuffer = std::size_t{1} << 20;
  if (rx_.capacity() > kKeptBuffer && arrival < rx_.capacity() / 8) rx_.shrink_to_fit();
}

}  // namespace kez
