#include "kez/host/TlsText.h"

#include <gtest/gtest.h>

namespace kez::host {
namespace {

// The words of each failure; the certificate's names are the server's text,
// so they are shown cut short, printable and at most four.
TEST(TlsText, EachFailureInWordsAPersonReads) {
  const std::string longName(70, 'a');
  const struct {
    TlsFailure failure;
    const char* expected;
  } rows[] = {
      {{TlsProblem::Expired, {}, "x"}, "certificate has expired"},
      {{TlsProblem::WrongName, {"other.example"}, {}},
       "certificate is for other.example, not chat.example"},
      {{TlsProblem::WrongName, {"a", "b", "c", "d", "e", "f"}, {}},
       "certificate is for a, b, c, d and 2 more, not chat.example"},
      {{TlsProblem::WrongName, {"evil\n\x1b[2Jname", longName}, {}},
       "certificate is for evil??[2Jname, "
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa..., not chat.example"},
      {{TlsProblem::WrongName, {}, {}}, "certificate is for no host name, not chat.example"},
      {{TlsProblem::NoAnswer, {}, {}}, "no TLS handshake within 30 s"},
      {{TlsProblem::Other, {}, "sslv3 alert handshake failure"},
       "TLS handshake failed: sslv3 alert handshake failure"},
  };
  for (const auto& row : rows) EXPECT_EQ(TlsFailureText(row.failure, "chat.example"), row.expected);
}

}  // namespace
}  // namespace kez::host
