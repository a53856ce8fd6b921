#include "call_table.h"

#include <limits>

#include "json_bytes.h"

namespace reposa::console {

namespace {

using kez::KezTOCSock;
constexpr ArgKind T = ArgKind::Text;
constexpr ArgKind I16 = ArgKind::Int16;
constexpr ArgKind I32 = ArgKind::Int32;
constexpr ArgKind B = ArgKind::Bool;

template <class Int>
Int ConvertInteger(const nlohmann::ordered_json& value, ArgKind kind) {
  if (!value.is_number_integer())
    throw RequestError("expected an integer (" + std::string(KindName(kind)) + ")");
  constexpr auto lo = std::numeric_limits<Int>::min();
  constexpr auto hi = std::numeric_limits<Int>::max();
  const bool fits = value.is_number_unsigned()
                        ? value.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi)
                        : value.get<std::int64_t>() >= lo && value.get<std::int64_t>() <= hi;
  if (!fits)
    throw RequestError(value.dump() + " is outside the " + std::string(KindName(kind)) + " range " +
                       std::to_string(lo) + ".." + std::to_string(hi));
  return static_cast<Int>(value.get<std::int64_t>());
}

// The table: name, parameters in order, how many are required, the call.
const std::vector<Method> kMethods = {
    {"Login",
     {{"UserName", T}, {"Password", T}, {"TOCServer", T}, {"Port", I32}, {"AuthServer", T}},
     4,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       if (a.Has(4)) {
         c.Login(a.Text(0), a.Text(1), a.Text(2), a.Int32(3), a.Text(4));
       } else {
         c.Login(a.Text(0), a.Text(1), a.Text(2), a.Int32(3));
       }
       return {};
     }},
    {"LogOff",
     {},
     0,
     [](KezTOCSock& c, const Args&) -> CallResult {
       c.LogOff();
       return {};
     }},
    {"SendPacket",
     {{"intChannel", I16}, {"strData", T}},
     2,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.SendPacket(a.Int16(0), a.Text(1));
       return {};
     }},
    {"JoinChat",
     {{"strRoomName", T}, {"intExchange", I16}},
     2,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.JoinChat(a.Text(0), a.Int16(1));
       return {};
     }},
    {"LeaveChat",
     {{"strChatName", T}, {"lngChatID", I32}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       a.Has(1) ? c.LeaveChat(a.Text(0), a.Int32(1)) : c.LeaveChat(a.Text(0));
       return {};
     }},
    {"SendChat",
     {{"strChatName", T}, {"strMessage", T}, {"lngChatID", I32}},
     2,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       a.Has(2) ? c.SendChat(a.Text(0), a.Text(1), a.Int32(2)) : c.SendChat(a.Text(0), a.Text(1));
       return {};
     }},
    {"GetProfile",
     {{"strUserName", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.GetProfile(a.Text(0));
       return {};
     }},
    {"SendIM",
     {{"strUserName", T}, {"strMessage", T}, {"AutoResponse", B}},
     3,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.SendIM(a.Text(0), a.Text(1), a.Bool(2));
       return {};
     }},
    {"ChangePassword",
     {{"strOldPassword", T}, {"strNewPassword", T}},
     2,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.ChangePassword(a.Text(0), a.Text(1));
       return {};
     }},
    {"FormatUserName",
     {{"strFormatted", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.FormatUserName(a.Text(0));
       return {};
     }},
    {"SetAwayMessage",
     {{"strAwayMessage", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.SetAwayMessage(a.Text(0));
       return {};
     }},
    {"SetProfile",
     {{"strProfile", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.SetProfile(a.Text(0));
       return {};
     }},
    {"GetStatus",
     {{"strUserName", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.GetStatus(a.Text(0));
       return {};
     }},
    {"SetIdleTime",
     {{"lngMinutes", I32}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.SetIdleTime(a.Int32(0));
       return {};
     }},
    {"AcceptChatInvite",
     {{"lngChatID", I32}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.AcceptChatInvite(a.Int32(0));
       return {};
     }},
    {"InviteUsers",
     {{"strChatName", T}, {"strInviteMessage", T}, {"strUsers", T}, {"lngChatID", I32}},
     3,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       a.Has(3) ? c.InviteUsers(a.Text(0), a.Text(1), a.Text(2), a.Int32(3))
                : c.InviteUsers(a.Text(0), a.Text(1), a.Text(2));
       return {};
     }},
    {"WarnUser",
     {{"strUserName", T}, {"blnAnonymous", B}},
     2,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.WarnUser(a.Text(0), a.Bool(1));
       return {};
     }},
    {"AddBuddy",
     {{"strGroup", T}, {"strBuddy", T}},
     2,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.AddBuddy(a.Text(0), a.Text(1));
       return {};
     }},
    {"RemoveBuddy",
     {{"strGroup", T}, {"strBuddy", T}},
     2,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.RemoveBuddy(a.Text(0), a.Text(1));
       return {};
     }},
    {"AddGroup",
     {{"strGroup", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.AddGroup(a.Text(0));
       return {};
     }},
    {"RemoveGroup",
     {{"strGroup", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.RemoveGroup(a.Text(0));
       return {};
     }},
    {"BlockUser",
     {{"strUserName", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.BlockUser(a.Text(0));
       return {};
     }},
    {"UnblockUser",
     {{"strUserName", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.UnblockUser(a.Text(0));
       return {};
     }},
    {"AddPrivateUser",
     {{"strUserName", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.AddPrivateUser(a.Text(0));
       return {};
     }},
    {"RemovePrivateUser",
     {{"strUserName", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.RemovePrivateUser(a.Text(0));
       return {};
     }},
    {"SetPrivacy",
     {{"intMode", I16}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.SetPrivacy(a.Int16(0));
       return {};
     }},
    {"SetCapability",
     {{"strCapUUID", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult {
       c.SetCapability(a.Text(0));
       return {};
     }},
    {"RemoveHtml",
     {{"strMessage", T}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult { return c.RemoveHtml(a.Text(0)); }},
    {"GetChatName",
     {{"lngChatID", I32}},
     1,
     [](KezTOCSock& c, const Args& a) -> CallResult { return c.GetChatName(a.Int32(0)); }},
};

}  // namespace

const std::vector<Method>& Methods() {
  return kMethods;
}

const Method* FindMethod(std::string_view name) {
  for (const Method& method : kMethods)
    if (method.name == name) return &method;
  return nullptr;
}

std::string_view KindName(ArgKind kind) {
  switch (kind) {
    case ArgKind::Text:
      return "string";
    case ArgKind::Int16:
      return "Int16";
    case ArgKind::Int32:
      return "Int32";
    case ArgKind::Bool:
      return "boolean";
  }
  return "?";
}

ArgValue ConvertArgument(const nlohmann::ordered_json& value, ArgKind kind) {
  switch (kind) {
    case ArgKind::Text: {
      if (!value.is_string()) throw RequestError("expected a string");
      std::size_t bad = 0;
      std::optional<std::string> bytes = Utf8ToBytes(value.get_ref<const std::string&>(), &bad);
      if (!bytes)
        throw RequestError("character " + std::to_string(bad) +
                           " lies above U+00FF; each character must stand for one byte");
      return std::move(*bytes);
    }
    case ArgKind::Int16:
      return ConvertInteger<int16_t>(value, kind);
    case ArgKind::Int32:
      return ConvertInteger<int32_t>(value, kind);
    case ArgKind::Bool:
      if (!value.is_boolean()) throw RequestError("expected true or false");
      return value.get<bool>();
  }
  throw RequestError("unknown argument kind");
}

}  // namespace reposa::console
