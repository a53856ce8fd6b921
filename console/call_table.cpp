#include "call_table.h"

#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

#include "json_bytes.h"

namespace reposa::console {

namespace {

using kez::KezTOCSock;

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

// The argument kind of each parameter type of the control's methods. A type
// not listed here fails to compile, so a changed signature cannot mis-bind.
template <class P>
struct KindOf;
template <>
struct KindOf<std::string_view> {
  static constexpr ArgKind kind = ArgKind::Text;
  static std::string_view Get(const Args& a, std::size_t i) { return a.Text(i); }
};
template <>
struct KindOf<int16_t> {
  static constexpr ArgKind kind = ArgKind::Int16;
  static int16_t Get(const Args& a, std::size_t i) { return a.Int16(i); }
};
template <>
struct KindOf<int32_t> {
  static constexpr ArgKind kind = ArgKind::Int32;
  static int32_t Get(const Args& a, std::size_t i) { return a.Int32(i); }
};
template <>
struct KindOf<bool> {
  static constexpr ArgKind kind = ArgKind::Bool;
  static bool Get(const Args& a, std::size_t i) { return a.Bool(i); }
};

// The parameter and result types of a method, const or not.
template <class F>
struct Signature;
template <class R, class... P>
struct Signature<R (KezTOCSock::*)(P...)> {
  using Result = R;
  using Params = std::tuple<P...>;
};
template <class R, class... P>
struct Signature<R (KezTOCSock::*)(P...) const> : Signature<R (KezTOCSock::*)(P...)> {};

// Calls Fn with the converted arguments. A trailing optional argument that
// was left out is passed value-initialised, which is each such parameter's
// default in the control (0 for a chat id, empty for a text).
template <auto Fn, class... P, std::size_t... I>
CallResult Invoke(KezTOCSock& control, const Args& args, std::index_sequence<I...>) {
  auto arg = []<class T>(const Args& a, std::size_t i) {
    using V = std::remove_cvref_t<T>;
    return a.Has(i) ? KindOf<V>::Get(a, i) : V{};
  };
  using Result = typename Signature<decltype(Fn)>::Result;
  if constexpr (std::is_void_v<Result>) {
    (control.*Fn)(arg.template operator()<P>(args, I)...);
    return {};
  } else {
    static_assert(std::is_same_v<Result, std::string>, "a method returns nothing or text");
    return (control.*Fn)(arg.template operator()<P>(args, I)...);
  }
}

template <auto Fn, class Params = typename Signature<decltype(Fn)>::Params>
struct Binding;
template <auto Fn, class... P>
struct Binding<Fn, std::tuple<P...>> {
  static CallResult Call(KezTOCSock& control, const Args& args) {
    return Invoke<Fn, P...>(control, args, std::index_sequence_for<P...>{});
  }
  static std::vector<Param> Params(std::initializer_list<std::string_view> names) {
    const ArgKind kinds[] = {KindOf<std::remove_cvref_t<P>>::kind..., ArgKind::Text};
    std::vector<Param> params;
    std::size_t i = 0;
    for (std::string_view name : names) params.push_back({name, kinds[i++]});
    return params;
  }
};

// One entry: the method, how many of its parameters are required, and the
// parameter names that error messages use, one per parameter.
template <auto Fn, class... Names>
Method Bind(std::string_view name, std::size_t required, Names... names) {
  constexpr std::size_t arity = std::tuple_size_v<typename Signature<decltype(Fn)>::Params>;
  static_assert(sizeof...(Names) == arity, "one name per parameter");
  return {name, Binding<Fn>::Params({names...}), required, &Binding<Fn>::Call, false};
}

// An argument, or its parameter's default where a trailing one was left out.
template <class T>
T ArgOr(const Args& args, std::size_t i, T fallback) {
  return args.Has(i) ? KindOf<T>::Get(args, i) : fallback;
}

// The commands, from the control's list: names, kinds and defaults as declared.
#define KEZ_STRING(x) KEZ_STRING_(x)
#define KEZ_STRING_(x) #x
#define KEZ_CALL_PARAM(i, p)                                             \
  Param {                                                                \
    KEZ_STRING(KEZ_PARAM_NAME(i, p)), KindOf<KEZ_PARAM_TYPE(i, p)>::kind \
  }
#define KEZ_CALL_ARG(i, p) ArgOr<KEZ_PARAM_TYPE(i, p)>(args, i, KEZ_PARAM_DEFAULT(i, p))
#define KEZ_CALL_COMMAND(Name, doc, ...)                                 \
  Method{#Name,                                                          \
         {KEZ_EACH(KEZ_CALL_PARAM, KEZ_COMMA, __VA_ARGS__)},             \
         KEZ_EACH(KEZ_PARAM_REQUIRED, KEZ_PLUS, __VA_ARGS__),            \
         [](KezTOCSock& control, const Args& args) -> CallResult {       \
           control.Name(KEZ_EACH(KEZ_CALL_ARG, KEZ_COMMA, __VA_ARGS__)); \
           return {};                                                    \
         },                                                              \
         true},

// The session methods and utilities, bound by hand; the commands generated.
using K = KezTOCSock;
const std::vector<Method> kMethods = {
    Bind<&K::Login>("Login", 4, "UserName", "Password", "TOCServer", "Port", "AuthServer"),
    Bind<&K::LogOff>("LogOff", 0),
    Bind<&K::SendPacket>("SendPacket", 2, "intChannel", "strData"),
    KEZ_TOCSOCK_COMMANDS(KEZ_CALL_COMMAND) Bind<&K::RemoveHtml>("RemoveHtml", 1, "strMessage"),
    Bind<&K::GetChatName>("GetChatName", 1, "lngChatID"),
};

}  // namespace

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
