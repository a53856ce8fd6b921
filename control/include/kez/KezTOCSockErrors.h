#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace kez {

// The codes of the Error event (intErrorCode), named. The server sends them
// in ERROR messages; the control turns each into one Error event whose text
// says what happened.
namespace error {
// A frame of a type the protocol does not know; the text ends with that byte.
inline constexpr int16_t kUnknownFrameType = 0;
// strUserName cannot be reached: offline, or hidden by their privacy.
inline constexpr int16_t kUserNotAvailable = 901;
// A warning of that user is not possible now.
inline constexpr int16_t kWarningNotAvailable = 902;
// A command was dropped: the account is sending faster than the server allows.
inline constexpr int16_t kRateLimited = 903;
// The server could not read a command.
inline constexpr int16_t kInvalidInput = 911;
// A room could not be joined; the text names the room and the reason.
inline constexpr int16_t kChatJoinFailed = 951;
// Sign-on refused: no such account, or a wrong password.
inline constexpr int16_t kInvalidAccount = 980;
// Sign-on refused for now: the account signed on again too soon.
inline constexpr int16_t kSignOnTooSoon = 983;
// Sign-on refused: a wrong name or password (the server's sub-code 7) or a
// blocked sign-on (17). For any other sub-code the control raises Error with
// that sub-code as intErrorCode and a text beginning
// kUnknownSignOnErrorText, so a code alone does not tell its origin.
inline constexpr int16_t kSignOnRefused = 989;
inline constexpr std::string_view kUnknownSignOnErrorText = "Unknown error code 989, sub error: ";
// Reposa's own server: a change could not be stored, and nothing was changed.
inline constexpr int16_t kNotStored = 999;
}  // namespace error

// What an Error raised during the sign-on means for signing on again.
enum class SignOnRetry {
  Worthwhile,  // try again, after a growing wait
  Wait,        // try again, but not before `atLeast`
  Never,       // retrying cannot help: the name, password or account is refused
};

struct SignOnAdvice {
  SignOnRetry retry;
  std::chrono::seconds atLeast;  // the least wait before the next Login; 0 unless Wait
};

// The server gives no time with "too soon"; this is how long Reposa waits.
inline constexpr std::chrono::seconds kSignOnTooSoonWait{150};

// For an Error event raised while State() is SessionState::SigningOn, with its
// code and text: Never for 980 and 989 (a wrong name or password, a blocked
// sign-on), Wait with kSignOnTooSoonWait for 983, Worthwhile for anything else
// (an unknown 989 sub-code included, whatever its number). An Error while
// signed on answers a command (a refused password change may be 980) and says
// nothing about signing on.
SignOnAdvice AdviseSignOnRetry(int16_t intErrorCode, std::string_view strError);

}  // namespace kez
