// The window against a real reposa-server, with a reposa-console beside it
// that sees what the window's buttons do on the server.

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <memory>
#include <string_view>
#include <vector>

#include "ConsoleClient.h"
#include "Form1.h"
#include "ServerProcess.h"
#include "XPButton.h"

using namespace reposa::test;

// An empty text from ConsoleClient::Receive means every line matched.
#define VERIFY_LINES(text)                          \
  do {                                              \
    const std::string mismatch_ = (text);           \
    QVERIFY2(mismatch_.empty(), mismatch_.c_str()); \
  } while (false)

namespace {

// What the watcher sees of the window's account. An open server knows the
// name in the form the window sends it, normalised.
const json kOnline = Event("BuddyUpdate", {"screenname", true, 0, kSignOnTime, 0, " O"});
const json kOffline = Event("BuddyUpdate", {"screenname", false, 0, 0, 0, " O"});

json LoggedIn(std::string_view name) {
  return Event("LoggedIn",
               {name, json::array(), json::array(), json::array(), json::array(), "", 1});
}

}  // namespace

class WindowSession : public QObject {
  Q_OBJECT

  std::unique_ptr<ServerProcess> server;
  std::unique_ptr<ConsoleClient> watcher;
  std::unique_ptr<Form1> form;

  template <class T = QLineEdit>
  T* Find(const char* name) {
    T* child = form->findChild<T*>(name);
    if (!child) qFatal("no control %s", name);
    return child;
  }
  QString Status() { return Find<QLabel>("Label1")->text(); }
  // A press from the keyboard: no mouse button is held, so there is no move
  // step and the button acts at once.
  void Press(const char* button) {
    auto* b = Find<XPButton>(button);
    b->setFocus();
    QTest::keyClick(b, Qt::Key_Space);
  }
  // A console beside the window; the window's events need its event loop,
  // so that runs while the console's lines are awaited.
  std::unique_ptr<ConsoleClient> Console(std::string_view name) {
    auto c = std::make_unique<ConsoleClient>(*server, name, "any");
    c->whileWaiting = [] { QCoreApplication::processEvents(); };
    return c;
  }

 private slots:
  // The server has no accounts: any name signs on with any password. The
  // watcher has the window's account on its buddy list and sits in the room
  // the window joins. The window's boxes keep their first texts: "Screen
  // Name" and "Password" sign on, the room is "Chat Room" on exchange "4".
  void init() {
    server = std::make_unique<ServerProcess>();
    QVERIFY2(server->port() != 0, server->err().c_str());
    watcher = Console("Watcher");
    VERIFY_LINES(watcher->Receive({Event("ScreennameFormat", {"watcher"}), LoggedIn("watcher")}));
    watcher->Call("AddBuddy", {"Buddies", "Screen Name"});
    VERIFY_LINES(watcher->Receive(
        {Event("GroupAdded", {"Buddies"}), Event("BuddyAdded", {"Buddies", "Screen Name", ""})}));
    watcher->Call("JoinChat", {"Chat Room", 4});
    VERIFY_LINES(watcher->Receive(
        {Event("JoinedChat", {"Chat Room", 1}), Event("ChatUserUpdate", {"watcher", true, 1})}));

    form = std::make_unique<Form1>(kez::host::Address{"127.0.0.1", server->port()});
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(Status(), QString("None"));
  }
  void cleanup() {
    form.reset();
    watcher.reset();
    server.reset();
  }

  void buttonsDriveARealSessionAndAStoppedServerShowsOffline() {
    const struct {
      const char* button;
      const char* status;
      bool signOnBoxesLocked;
      bool chatBoxesLocked;
      std::vector<json> watcherSees;
    } steps[] = {
        {"XPButton1", "Online", true, false, {kOnline}},
        {"XPButton3",
         "Chat Joined",
         true,
         true,
         {Event("ChatUserUpdate", {"screenname", true, 1})}},
        {"XPButton4",
         "Chat Left",
         true,
         false,
         {Event("ChatUserUpdate", {"screenname", false, 1})}},
        {"XPButton2", "Offline", false, false, {kOffline}},
        {"XPButton1", "Online", true, false, {kOnline}},
    };
    for (const auto& s : steps) {
      const QByteArray step = QByteArray(s.button) + " to " + s.status;
      Press(s.button);
      QTRY_COMPARE_WITH_TIMEOUT(Status(), QString(s.status), 10000);
      const std::string seen = watcher->Receive(s.watcherSees);
      QVERIFY2(seen.empty(), (step + ": " + seen.c_str()).constData());
      QVERIFY2(Find("Text1")->isReadOnly() == s.signOnBoxesLocked, step);
      QVERIFY2(Find("Text2")->isReadOnly() == s.signOnBoxesLocked, step);
      QVERIFY2(Find("Text3")->isReadOnly() == s.chatBoxesLocked, step);
      QVERIFY2(Find("Text4")->isReadOnly() == s.chatBoxesLocked, step);
    }
    VERIFY_LINES(watcher->Quiet());

    // The server goes away under a signed-on window.
    QCOMPARE(server->Stop().value_or(-1), 0);
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Offline"), 10000);
    QVERIFY(!Find("Text1")->isReadOnly());
    QVERIFY(!Find("Text2")->isReadOnly());
    VERIFY_LINES(watcher->Receive({Event("ConnectionClosed")}));
    QCOMPARE(watcher->End().value_or(-1), 0);
  }

  // The server ends the older session of a name signed on again (a sign-off
  // frame, then the close): the window shows it as a sign-off.
  void aSignOnOfTheNameElsewhereShowsOffline() {
    Press("XPButton1");
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Online"), 10000);
    VERIFY_LINES(watcher->Receive({kOnline}));

    auto elsewhere = Console("Screen Name");
    VERIFY_LINES(
        elsewhere->Receive({Event("ScreennameFormat", {"screenname"}), LoggedIn("screenname")}));
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Offline"), 10000);
    QVERIFY(!Find("Text1")->isReadOnly());
    QVERIFY(!Find("Text2")->isReadOnly());
    // The name stays on all along: the watcher hears of the newer session only.
    VERIFY_LINES(watcher->Receive({kOnline}));

    // Signing on from the window ends the console's session in turn.
    Press("XPButton1");
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Online"), 10000);
    VERIFY_LINES(elsewhere->Receive({Event("ConnectionClosed")}));
    VERIFY_LINES(watcher->Receive({kOnline}));
    VERIFY_LINES(watcher->Quiet());
    VERIFY_LINES(elsewhere->Quiet());
    QCOMPARE(elsewhere->End().value_or(-1), 0);
  }
};

QTEST_MAIN(WindowSession)
#include "window_session_test.moc"
