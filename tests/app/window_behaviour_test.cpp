// The window against a scripted TOC server on the loopback interface: what
// each button sends, and what each answer of the server does to the window.

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <memory>

#include "FlapServer.h"
#include "Form1.h"
#include "XPButton.h"
#include "cSysTray.h"
#include "kez/KezTOCSock.h"

using reposa::test::FlapServer;

namespace {

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos <= line.size()) {
    const std::size_t space = std::min(line.find(' ', pos), line.size());
    words.push_back(line.substr(pos, space - pos));
    pos = space + 1;
  }
  return words;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

class WindowBehaviour : public QObject {
  Q_OBJECT

  std::unique_ptr<FlapServer> server;
  std::unique_ptr<Form1> form;

  template <class T = QLineEdit>
  T* Find(const char* name) {
    T* child = form->findChild<T*>(name);
    if (!child) qFatal("no control %s", name);
    return child;
  }
  QString Status() { return Find<QLabel>("Label1")->text(); }
  bool ReadOnly(const char* box) { return Find(box)->isReadOnly(); }

  // A button's press from the keyboard: no mouse button is held, so there is
  // no move step and the action runs at once.
  void Press(const char* button) {
    auto* b = Find<XPButton>(button);
    b->setFocus();
    QTest::keyClick(b, Qt::Key_Space);
  }

  void SignOn() {
    Press("XPButton1");
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Online"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(Contains(server->commands, "toc_init_done"), 5000);
  }

  void JoinRoom(int32_t id, const std::string& room) {
    server->SendMessage("CHAT_JOIN:" + std::to_string(id) + ":" + room);
    QTRY_COMPARE_WITH_TIMEOUT(form->Control().LastChatID(), id, 5000);
    QCOMPARE(Status(), QString("Chat Joined"));
  }

 private slots:
  void init() {
    server = std::make_unique<FlapServer>();
    form = std::make_unique<Form1>(kez::host::Address{"127.0.0.1", server->port()});
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  void cleanup() {
    form.reset();
    server.reset();
  }

  void signOnWithUntouchedBoxesUsesTheirDefaultTexts() {
    QCOMPARE(Status(), QString("None"));
    SignOn();
    const auto words = Words(server->loginLine);
    QVERIFY2(words.size() > 4, server->loginLine.c_str());
    QCOMPARE(words[3], std::string("screenname"));
    QCOMPARE(words[4], std::string("0x0408105c23001130"));  // "Password", roasted
    QVERIFY(ReadOnly("Text1"));
    QVERIFY(ReadOnly("Text2"));
    QVERIFY(!ReadOnly("Text3"));
    QVERIFY(!ReadOnly("Text4"));
  }

  void signOffShowsOfflineAndFreesTheSignOnBoxes() {
    SignOn();
    Press("XPButton2");
    QCOMPARE(Status(), QString("Offline"));  // LogOff reports before it returns
    QVERIFY(!ReadOnly("Text1"));
    QVERIFY(!ReadOnly("Text2"));
  }

  void joinSendsTheRoomAndExchange_data() {
    QTest::addColumn<QString>("exchange");
    QTest::addColumn<QString>("expected");  // empty: the join is left out
    QTest::newRow("default") << "4"
                             << R"(toc_chat_join "4" "Lobby")";
    QTest::newRow("lowest") << "-32768"
                            << R"(toc_chat_join "-32768" "Lobby")";
    QTest::newRow("highest") << "32767"
                             << R"(toc_chat_join "32767" "Lobby")";
    QTest::newRow("spaces around") << " 7 "
                                   << R"(toc_chat_join "7" "Lobby")";
    QTest::newRow("above range") << "32768"
                                 << "";
    QTest::newRow("below range") << "-32769"
                                 << "";
    QTest::newRow("fraction") << "4.5"
                              << "";
    QTest::newRow("word") << "four"
                          << "";
    QTest::newRow("empty") << ""
                           << "";
  }
  void joinSendsTheRoomAndExchange() {
    QFETCH(QString, exchange);
    QFETCH(QString, expected);
    SignOn();
    Find("Text3")->setText("Lobby");
    Find("Text4")->setText(exchange);
    const QString before = Status();
    Press("XPButton3");
    // A leave with a known ID follows as a marker: whatever the join sent
    // has arrived before it.
    form->Control().SetLastChatID(9);
    Press("XPButton4");
    QTRY_VERIFY_WITH_TIMEOUT(Contains(server->commands, R"(toc_chat_leave "9")"), 5000);
    std::vector<std::string> joins;
    for (const auto& line : server->commands)
      if (line.starts_with("toc_chat_join")) joins.push_back(line);
    if (expected.isEmpty()) {
      QVERIFY(joins.empty());
    } else {
      QCOMPARE(joins.size(), std::size_t{1});
      QCOMPARE(QString::fromStdString(joins[0]), expected);
    }
    QCOMPARE(Status(), before);
    QVERIFY(!ReadOnly("Text3"));
  }

  void chatJoinLocksAndChatLeftFreesTheChatBoxes() {
    SignOn();
    JoinRoom(1234, "Lobby");
    QVERIFY(ReadOnly("Text3"));
    QVERIFY(ReadOnly("Text4"));
    QVERIFY(ReadOnly("Text1"));  // the pairs are independent
    QCOMPARE(form->Control().LastChatID(), 1234);
    server->SendMessage("CHAT_LEFT:1234");
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Chat Left"), 5000);
    QVERIFY(!ReadOnly("Text3"));
    QVERIFY(!ReadOnly("Text4"));
    QVERIFY(ReadOnly("Text1"));
  }

  void leaveAndAClickInTheRoomBoxPassLastChatID_data() {
    QTest::addColumn<bool>("click");  // a click in Text3 instead of "Leave"
    QTest::newRow("Leave button") << false;
    QTest::newRow("click in Text3") << true;
  }
  void leaveAndAClickInTheRoomBoxPassLastChatID() {
    QFETCH(bool, click);
    SignOn();
    JoinRoom(1234, "Lobby");
    JoinRoom(77, "Other");  // the latest join is the one left
    Find("Text3")->setText("Lobby");
    if (click)
      QTest::mouseClick(Find("Text3"), Qt::LeftButton);
    else
      Press("XPButton4");
    QTRY_VERIFY_WITH_TIMEOUT(Contains(server->commands, R"(toc_chat_leave "77")"), 5000);
  }

  void signOffInAChatKeepsTheChatBoxesLocked() {
    SignOn();
    JoinRoom(1234, "Lobby");
    Press("XPButton2");
    QCOMPARE(Status(), QString("Offline"));
    QVERIFY(ReadOnly("Text3"));
    QVERIFY(ReadOnly("Text4"));
    QVERIFY(!ReadOnly("Text1"));
    QCOMPARE(form->Control().LastChatID(), 0);
  }

  // The status word is "Offline" whatever the cause; the label's tooltip and
  // accessible description say which, and a sign-on clears them. With
  // --reconnect the window says when it tries again, and does.
  void aLostConnectionShowsOfflineAndWhy_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("reconnect");
    QTest::addColumn<QString>("reason");  // the tooltip's start
    QTest::newRow("server hangs up") << "hangup" << false << "Connection closed by the server";
    QTest::newRow("connection refused") << "refused" << false << "Cannot connect to 127.0.0.1:";
    QTest::newRow("TLS to a plain server") << "plain" << false << "Cannot connect to 127.0.0.1:";
    QTest::newRow("password refused") << "980" << false << "Invalid account or password";
    QTest::newRow("signed off") << "signoff" << false << "Signed off";
    QTest::newRow("hangs up, reconnecting")
        << "hangup" << true << "Connection closed by the server\nSigning on again in ";
    QTest::newRow("password refused, reconnecting")
        << "980" << true << "Invalid account or password";
    QTest::newRow("hangs up in a room, reconnecting")
        << "room" << true << "Connection closed by the server\nSigning on again in ";
    // 980 while signed on answers a password change: it stops nothing.
    QTest::newRow("password change refused, then hangs up, reconnecting")
        << "980-on" << true << "Invalid account or password\nSigning on again in ";
  }
  void aLostConnectionShowsOfflineAndWhy() {
    QFETCH(QString, how);
    QFETCH(bool, reconnect);
    QFETCH(QString, reason);
    auto* label = Find<QLabel>("Label1");
    if (how == "refused") {
      quint16 closedPort = 0;
      {
        FlapServer gone;
        closedPort = gone.port();
      }
      form = std::make_unique<Form1>(kez::host::Address{"127.0.0.1", closedPort});
      form->show();
      label = Find<QLabel>("Label1");
      Find("Text1")->setReadOnly(true);  // as if an earlier session were on
      Press("XPButton1");
    } else if (how == "plain") {
      form = std::make_unique<Form1>(kez::host::Address{"127.0.0.1", server->port(), true});
      form->show();
      label = Find<QLabel>("Label1");
      Press("XPButton1");
    } else if (how == "980") {
      server->answerLogin = false;
      form->SetReconnect(reconnect);
      Press("XPButton1");
      QTRY_VERIFY_WITH_TIMEOUT(!server->loginLine.empty(), 5000);
      server->SendMessage("ERROR:980");
      server->Hangup();
    } else {
      form->SetReconnect(reconnect);
      SignOn();
      QCOMPARE(label->toolTip(), QString());
      if (how == "room") {
        Find("Text3")->setText("Lobby");
        Find("Text4")->setText("5");
        Press("XPButton3");
        JoinRoom(1234, "Lobby");
      }
      if (how == "980-on") server->SendMessage("ERROR:980");
      if (how == "signoff")
        Press("XPButton2");
      else
        server->Hangup();
    }
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Offline"), 5000);
    QVERIFY(!ReadOnly("Text1"));
    QVERIFY(!ReadOnly("Text2"));
    QVERIFY2(label->toolTip().startsWith(reason), qPrintable(label->toolTip()));
    if (how == "980") QCOMPARE(label->toolTip(), reason);  // and no retrying
    if (how == "plain")
      QVERIFY2(label->toolTip().endsWith(": the server does not speak TLS"),
               qPrintable(label->toolTip()));
    QCOMPARE(label->accessibleDescription(), label->toolTip());
    if (reconnect && how != "980") {
      QTRY_COMPARE_WITH_TIMEOUT(server->connections, 2, 5000);
      QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Online"), 5000);
      QCOMPARE(label->toolTip(), QString());
      QCOMPARE(label->accessibleDescription(), QString());
    }
    if (how == "room") {
      // Back in the room it was in, with its exchange, as the server confirms.
      const std::string join = R"(toc_chat_join "5" "Lobby")";
      QTRY_COMPARE_WITH_TIMEOUT(
          static_cast<int>(std::count(server->commands.begin(), server->commands.end(), join)), 2,
          5000);
      JoinRoom(1, "Lobby");
      QVERIFY(ReadOnly("Text3"));
      QVERIFY(ReadOnly("Text4"));
    }
  }

  // Every way to press a button reaches the same handler: Space, Enter, and
  // the accessible press action of assistive technology and automation.
  void eachWayToPressSignsOn_data() {
    QTest::addColumn<int>("way");
    QTest::newRow("Space") << 0;
    QTest::newRow("Enter") << 1;
    QTest::newRow("accessible press") << 2;
  }
  void eachWayToPressSignsOn() {
    QFETCH(int, way);
    auto* button = Find<XPButton>("XPButton1");
    button->setFocus();
    if (way == 0) QTest::keyClick(button, Qt::Key_Space);
    if (way == 1) QTest::keyClick(button, Qt::Key_Return);
    if (way == 2) {
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
      QVERIFY(accessible && accessible->actionInterface());
      QVERIFY(accessible->actionInterface()->actionNames().contains(
          QAccessibleActionInterface::pressAction()));
      accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    }
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Online"), 5000);
    QCOMPARE(server->connections, 1);
  }

  void passwordMaskTurnsOnAtTheFirstChangeAndStaysOn() {
    QLineEdit* text2 = Find("Text2");
    QCOMPARE(text2->echoMode(), QLineEdit::Normal);
    QCOMPARE(text2->displayText(), QString("Password"));
    text2->setFocus();
    text2->end(false);
    QTest::keyClick(text2, Qt::Key_Backspace);
    QCOMPARE(text2->text(), QString("Passwor"));
    QCOMPARE(text2->displayText(), QString("*******"));
    text2->clear();
    QTest::keyClicks(text2, "secret");
    QCOMPARE(text2->displayText(), QString("******"));
    QCOMPARE(text2->echoMode(), QLineEdit::Password);
  }

  void sendToTrayHidesAndTheIconBringsTheWindowBack() {
    cSysTray& tray = *form->findChild<cSysTray*>("cSysTray1");
    tray.SetAvailabilityProbe([] { return true; });
    Press("XPButton5");
    QVERIFY(!form->isVisible());
    QVERIFY(tray.intray());
    QCOMPARE(tray.traytip(), QString("Reposa"));
    // A context-menu request is not a restore.
    emit tray.Icon().activated(QSystemTrayIcon::Context);
    QVERIFY(!form->isVisible());
    emit tray.Icon().activated(QSystemTrayIcon::Trigger);
    QVERIFY(form->isVisible());
    QVERIFY(!tray.intray());
  }

  void sendToTrayWithoutANotificationAreaMinimises() {
    cSysTray& tray = *form->findChild<cSysTray*>("cSysTray1");
    tray.SetAvailabilityProbe([] { return false; });
    Press("XPButton5");
    QTRY_VERIFY_WITH_TIMEOUT(form->isMinimized(), 5000);
    QVERIFY(form->isVisible());
    QVERIFY(!tray.intray());
  }

  void updatesReachTheWindowWhileItIsInTheTray() {
    cSysTray& tray = *form->findChild<cSysTray*>("cSysTray1");
    tray.SetAvailabilityProbe([] { return true; });
    server->answerLogin = false;
    Press("XPButton1");
    QTRY_VERIFY_WITH_TIMEOUT(!server->loginLine.empty(), 5000);
    Press("XPButton5");
    QVERIFY(!form->isVisible());
    server->SendMessage("SIGN_ON:TOC2.0");
    server->SendMessage("CONFIG2:done:\n");
    server->SendMessage("CHAT_JOIN:5:Lobby");
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Chat Joined"), 5000);
    QVERIFY(ReadOnly("Text1"));
    QVERIFY(ReadOnly("Text3"));
    emit tray.Icon().activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(form->isVisible());
    QCOMPARE(Status(), QString("Chat Joined"));
  }

  // --notify: IMs that arrive out of sight are told from the tray icon, a few
  // a minute per sender, text without markup, and counted until the window
  // is shown; with no tray the title counts them. Without it nothing changes.
  void imsOutOfSightAreToldAndCounted_data() {
    QTest::addColumn<bool>("notify");
    QTest::addColumn<QString>("where");  // tray, minimised, shown
    QTest::addColumn<QStringList>("told");
    QTest::addColumn<QString>("tip");
    QTest::addColumn<QString>("title");
    const QStringList three = {"pal: hi 1", "pal: hi 2", "pal: hi 3"};
    QTest::newRow("off, in the tray") << false << "tray" << QStringList() << "Reposa"
                                      << "Reposa";
    QTest::newRow("in the tray") << true << "tray" << three << "Reposa: 4 unread"
                                 << "Reposa (4 unread)";
    QTest::newRow("minimised, no tray")
        << true << "minimised" << QStringList() << "Reposa: 4 unread"
        << "Reposa (4 unread)";
    QTest::newRow("in sight") << true << "shown" << QStringList() << "Reposa"
                              << "Reposa";
  }
  void imsOutOfSightAreToldAndCounted() {
    QFETCH(bool, notify);
    QFETCH(QString, where);
    QFETCH(QStringList, told);
    QFETCH(QString, tip);
    QFETCH(QString, title);
    cSysTray& tray = *form->findChild<cSysTray*>("cSysTray1");
    tray.SetAvailabilityProbe([&] { return where == "tray"; });
    QStringList notices;
    tray.SetNotifier(
        [&](const QString& t, const QString& body) { notices.push_back(t + ": " + body); });
    form->SetNotify(notify);
    SignOn();
    if (where != "shown") Press("XPButton5");
    if (where == "minimised") QTRY_VERIFY_WITH_TIMEOUT(form->isMinimized(), 5000);
    for (int i = 1; i <= 4; ++i)
      server->SendMessage("IM_IN_ENC2:pal:F:a:b:U:c:d:e:<b>hi</b> " + std::to_string(i));
    server->SendMessage("CHAT_JOIN:5:Lobby");  // after the IMs: they are all in
    QTRY_COMPARE_WITH_TIMEOUT(Status(), QString("Chat Joined"), 5000);
    QCOMPARE(notices, told);
    QCOMPARE(tray.traytip(), tip);
    QCOMPARE(form->windowTitle(), title);
    if (where == "tray") emit tray.Icon().activated(QSystemTrayIcon::Trigger);
    if (where == "minimised") form->showNormal();
    QTRY_COMPARE_WITH_TIMEOUT(form->windowTitle(), QString("Reposa"), 5000);
    QCOMPARE(tray.traytip(), QString("Reposa"));
  }
};

QTEST_MAIN(WindowBehaviour)
#include "window_behaviour_test.moc"
