#include "event_printer.h"

#include <gtest/gtest.h>

#include "Session.h"
#include "json_bytes.h"

namespace reposa::console {
namespace {

struct Printed {
  std::vector<std::string> lines;
  EventPrinter::Emit Emit() {
    return [this](const nlohmann::ordered_json& j) { lines.push_back(ToLine(j)); };
  }
};

// One row per member of the listener: the name, every argument in order and
// of its JSON type.
TEST(EventPrinter, PrintsEveryEventWithItsArgumentsInOrder) {
  const std::string hi("h\xe9\0", 3);
  const struct {
    std::function<void(EventPrinter&)> raise;
    const char* line;
  } rows[] = {
      {[](EventPrinter& p) { p.JoinedChat("Room", 7); },
       R"({"event":"JoinedChat","args":["Room",7]})"},
      {[&](EventPrinter& p) { p.ChatMessage(-7, "pal", hi); },
       R"({"event":"ChatMessage","args":[-7,"pal","h\u00e9\u0000"]})"},
      {[](EventPrinter& p) { p.ChatInvite("Room", 8, "pal", "come"); },
       R"({"event":"ChatInvite","args":["Room",8,"pal","come"]})"},
      {[](EventPrinter& p) { p.LeftChat(2147483647); },
       R"({"event":"LeftChat","args":[2147483647]})"},
      {[](EventPrinter& p) { p.ChatUserUpdate("pal", false, 9); },
       R"({"event":"ChatUserUpdate","args":["pal",false,9]})"},
      {[](EventPrinter& p) { p.BuddyUpdate("pal", true, -32768, 100, -1, " U"); },
       R"({"event":"BuddyUpdate","args":["pal",true,-32768,100,-1," U"]})"},
      {[](EventPrinter& p) { p.BuddyCapabilities("pal", "a,b"); },
       R"({"event":"BuddyCapabilities","args":["pal","a,b"]})"},
      {[](EventPrinter& p) { p.BuddyBart("pal", "0 2 x"); },
       R"({"event":"BuddyBart","args":["pal","0 2 x"]})"},
      {[](EventPrinter& p) { p.BuddyAdded("G", "pal", "Pal A"); },
       R"({"event":"BuddyAdded","args":["G","pal","Pal A"]})"},
      {[](EventPrinter& p) { p.GroupAdded("G"); }, R"({"event":"GroupAdded","args":["G"]})"},
      {[](EventPrinter& p) { p.PrivateBuddyAdded("pal"); },
       R"({"event":"PrivateBuddyAdded","args":["pal"]})"},
      {[](EventPrinter& p) { p.BuddyBlocked("pal"); },
       R"({"event":"BuddyBlocked","args":["pal"]})"},
      {[](EventPrinter& p) { p.BuddyRemoved("G", "pal"); },
       R"({"event":"BuddyRemoved","args":["G","pal"]})"},
      {[](EventPrinter& p) { p.GroupRemoved("G"); }, R"({"event":"GroupRemoved","args":["G"]})"},
      {[](EventPrinter& p) { p.PrivateBuddyRemoved("pal"); },
       R"({"event":"PrivateBuddyRemoved","args":["pal"]})"},
      {[](EventPrinter& p) { p.BuddyUnblocked("pal"); },
       R"({"event":"BuddyUnblocked","args":["pal"]})"},
      {[](EventPrinter& p) {
         p.LoggedIn("me", {"[group]G", "pal"}, {"bad"}, {}, {"x:1", ""}, "pref", 3);
       },
       R"({"event":"LoggedIn","args":["me",["[group]G","pal"],["bad"],[],["x:1",""],"pref",3]})"},
      {[](EventPrinter& p) { p.LoggedOut("me"); }, R"({"event":"LoggedOut","args":["me"]})"},
      {[](EventPrinter& p) { p.ScreennameFormat("Me:Me"); },
       R"({"event":"ScreennameFormat","args":["Me:Me"]})"},
      {[](EventPrinter& p) { p.InstantMessage("pal", "<b>hi</b>", true, "U"); },
       R"({"event":"InstantMessage","args":["pal","<b>hi</b>",true,"U"]})"},
      {[](EventPrinter& p) { p.UserProfile("http://x/"); },
       R"({"event":"UserProfile","args":["http://x/"]})"},
      {[](EventPrinter& p) { p.Error(901, "pal is not available"); },
       R"({"event":"Error","args":[901,"pal is not available"]})"},
      {[](EventPrinter& p) { p.Warned("50", "pal"); }, R"({"event":"Warned","args":["50","pal"]})"},
      {[](EventPrinter& p) { p.TypingStatus("pal", 2); },
       R"({"event":"TypingStatus","args":["pal",2]})"},
      {[](EventPrinter& p) { p.WinsockError("refused"); },
       R"({"event":"WinsockError","args":["refused"]})"},
      {[](EventPrinter& p) { p.RendevousRequest("pal", "u", "c", "1.2.3.4", "5", "6", 4443); },
       R"({"event":"RendevousRequest","args":["pal","u","c","1.2.3.4","5","6",4443]})"},
      {[](EventPrinter& p) { p.IncomingPacket(std::string("*\x05\0\x01\0\0", 6)); },
       R"({"event":"IncomingPacket","args":["*\u0005\u0000\u0001\u0000\u0000"]})"},
      {[](EventPrinter& p) { p.PasswordChanged(); }, R"({"event":"PasswordChanged","args":[]})"},
      {[](EventPrinter& p) { p.ScreenNameFormatted(); },
       R"({"event":"ScreenNameFormatted","args":[]})"},
      {[](EventPrinter& p) { p.ConnectionClosed(); }, R"({"event":"ConnectionClosed","args":[]})"},
  };
  for (const auto& row : rows) {
    Printed out;
    EventPrinter printer(out.Emit(), /*packets=*/true);
    row.raise(printer);
    EXPECT_EQ(out.lines, std::vector<std::string>{row.line});
  }
}

TEST(EventPrinter, IncomingPacketOnlyWhenAskedFor) {
  Printed out;
  EventPrinter printer(out.Emit(), /*packets=*/false);
  printer.IncomingPacket("*");
  printer.LeftChat(1);
  EXPECT_EQ(out.lines, std::vector<std::string>{R"({"event":"LeftChat","args":[1]})"});
}

// The printer as the control's listener: frames from the server come out as
// lines in the order they arrived, bytes intact.
TEST(EventPrinter, ListensToTheControl) {
  Printed out;
  EventPrinter printer(out.Emit(), /*packets=*/false);
  kez::test::Session s;
  s.control->SetEvents(&printer);
  s.Connect();
  s.sock->Arrive(kez::test::Data("NICK:Some Body") + kez::test::Data("ERROR:901:caf\xe9:x") +
                 kez::test::Data("CONFIG2:m:1\ng:Buddies\nb:pal\ndone:\n"));
  s.sock->PeerClosed();
  EXPECT_EQ(
      out.lines,
      (std::vector<std::string>{
          R"({"event":"ScreennameFormat","args":["Some Body"]})",
          R"({"event":"Error","args":[901,"caf\u00e9:x is not available"]})",
          R"({"event":"LoggedIn","args":["somebody",["[group]Buddies","pal"],[],[],[],"",1]})",
          R"({"event":"ConnectionClosed","args":[]})",
      }));
}

}  // namespace
}  // namespace reposa::console
