// Arbitrary bytes from a client on the server's TLS port, before and during
// the handshake: the record layer, the client's hello and what may follow
// it, cut into reads of any size, with the server's session speaking early
// and the client going away half-way. What a stranger sends this way cannot
// finish a handshake (it would need the server's fresh key share), so no
// plain byte may ever come out of the stream, and a failure must say why.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "TempDir.h"
#include "TestCertificates.h"
#include "net/tls_context.h"

namespace {

using namespace reposa::server;

// One certificate and context for the whole run, made at the first input.
struct Server {
  reposa::test::TempDir dir;
  reposa::test::TestCertificates certs{dir.path};
  reposa::test::Issued pair = certs.Issue("server");
  TlsContext context{pair.cert, pair.key};
};

Server& TheServer() {
  static Server server;
  return server;
}

// Reads until the stream has nothing more; false once it ended the connection.
bool ReadAll(Stream& stream, std::string& wire) {
  char plain[32 * 1024];
  for (;;) {
    const ssize_t n = stream.Read(plain, sizeof plain, wire);
    if (n > 0) __builtin_trap();  // plain bytes from no handshake at all
    if (n == 0) return false;
    if (errno == EAGAIN) return true;
    if (errno == EPROTO && stream.Failure().empty()) __builtin_trap();
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Server& server = TheServer();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const int client = fds[1];
  std::unique_ptr<Stream> stream = server.context.Wrap(fds[0]);
  FuzzedDataProvider input(data, size);
  std::string wire;
  bool open = true;
  while (open && input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange(0, 7)) {
      case 0:  // the session speaks before the handshake is done
        stream->Seal(input.ConsumeBytesAsString(input.ConsumeIntegralInRange(0, 64)), wire);
        break;
      case 1:  // the client ends its side
        ::shutdown(client, SHUT_WR);
        open = ReadAll(*stream, wire);
        break;
      default: {
        const std::string bytes =
            input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(1, 2048));
        if (::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) open = false;
        open = open && ReadAll(*stream, wire);
        break;
      }
    }
  }
  stream->CloseWrite();
  ::close(client);
  return 0;
}
