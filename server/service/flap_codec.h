#pragma once

// The server side of FLAP: the client's "FLAPON\n\n" opening, then frames of
// "*", type, 16-bit sequence number, 16-bit length, payload (big-endian).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace reposa::server {

inline constexpr std::string_view kFlapOn = "FLAPON\n\n";
inline constexpr std::size_t kFlapHeader = 6;
inline constexpr std::size_t kMaxFlapPayload = 65535;

enum class FrameType : std::uint8_t { SignOn = 1, Data = 2, Error = 3, SignOff = 4, KeepAlive = 5 };

struct Frame {
  std::uint8_t type = 0;
  // Points into the reader's buffer: valid until its next Feed. A client's
  // sequence numbers are not checked, so not kept.
  std::string_view payload;
};

// Cuts a client's byte stream into frames, however the bytes arrive.
class FlapReader {
 public:
  enum class Status { Ok, BadOpening, BadMarker };

  void Feed(std::string_view bytes);
  // The next complete frame, or nullopt when more bytes are needed or the
  // stream is broken (status() tells which). A broken stream stays broken.
  // The frame's payload is not copied: it lives until the next Feed.
  std::optional<Frame> Next();
  Status status() const { return status_; }
  bool opened() const { return opened_; }
  // Bytes received but not yet handed out as frames.
  std::size_t buffered() const { return buffer_.size() - pos_; }

 private:
  std::string buffer_;
  std::size_t pos_ = 0;
  bool opened_ = false;
  Status status_ = Status::Ok;
};

// Frames the server's messages, numbering them 0, 1, ... 65535, 0, ...
class FlapWriter {
 public:
  // Nullopt when the payload does not fit the 16-bit length.
  std::optional<std::string> Encode(FrameType type, std::string_view payload);

 private:
  std::uint16_t sequence_ = 0;
};

}  // namespace reposa::server
