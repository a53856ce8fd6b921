#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kez {

// What a socket tells its owner. Every notification arrives on the host's
// thread; the owner may destroy the socket from inside one, so a socket must
// not touch its own members after a notification returns.
class SocketListener {
 public:
  virtual void OnConnected() = 0;
  virtual void OnDataArrival() = 0;
  virtual void OnError(int number, const std::string& description) = 0;
  virtual void OnClosedByPeer() = 0;

 protected:
  ~SocketListener() = default;
};

// The TCP client socket the session control drives. Hosts supply one over
// their own event loop; tests supply a fake that records what is sent.
class Socket {
 public:
  virtual ~Socket() = default;

  void SetListener(SocketListener* listener) { listener_ = listener; }

  // Harmless on a closed socket; afterwards IsConnected() is false.
  virtual void Close() = 0;
  // Returns at once, without waiting on the name lookup or the connection:
  // the outcome, a refused port or an unknown host included, arrives later,
  // on a later turn of the host's loop, as OnConnected or OnError, never from
  // inside this call. Closing or destroying the socket first cancels it.
  virtual void Connect(const std::string& host, int32_t port) = 0;
  // Sends the bytes in order after those of earlier calls; buffers what the
  // peer cannot take yet, so it never blocks.
  virtual void SendData(std::string_view bytes) = 0;
  // Appends every byte received and not yet taken to `data`, leaving what it
  // already holds alone: the control hands its own receive buffer here, so
  // the bytes are copied once, from the socket into the session.
  virtual void GetData(std::string& data) = 0;
  // True exactly while the connection is open.
  virtual bool IsConnected() const = 0;

 protected:
  void NotifyConnected() {
    if (listener_) listener_->OnConnected();
  }
  void NotifyDataArrival() {
    if (listener_) listener_->OnDataArrival();
  }
  void NotifyError(int number, const std::string& description) {
    if (listener_) listener_->OnError(number, description);
  }
  void NotifyClosedByPeer() {
    if (listener_) listener_->OnClosedByPeer();
  }

 private:
  SocketListener* listener_ = nullptr;
};

}  // namespace kez
