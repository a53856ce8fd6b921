// Moving the window and its controls with the mouse. The mouse goes through
// the platform layer, as a person's would, so the move sees the button held.

#define QTEST_QPA_MOUSE_HANDLING
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <memory>

#include "FlapServer.h"
#include "Form1.h"
#include "WinDrag.h"
#include "XPButton.h"
#include "kez/KezTOCSock.h"

using reposa::test::FlapServer;

class WindowDrag : public QObject {
  Q_OBJECT

  std::unique_ptr<FlapServer> server;
  std::unique_ptr<Form1> form;

  QWindow* Window() { return form->windowHandle(); }
  // Window coordinates of a point on the screen, wherever the window is now.
  QPoint Local(QPoint global) { return global - Window()->mapToGlobal(QPoint(0, 0)); }
  QPoint Global(QWidget* widget, QPoint at) { return widget->mapToGlobal(at); }

  // Presses on `widget` at `at`, and from inside the move it starts, moves
  // the mouse by each step of `travel` in turn, runs `whileHeld` and releases.
  void Drag(QWidget* widget, QPoint at, const QList<QPoint>& travel,
            const std::function<void()>& whileHeld = {}, Qt::MouseButton button = Qt::LeftButton) {
    const QPoint start = Global(widget, at);
    QTimer::singleShot(0, this, [=, this] {
      for (const QPoint& step : travel) QTest::mouseMove(Window(), Local(start + step));
      if (whileHeld) whileHeld();
      const QPoint end = start + (travel.isEmpty() ? QPoint() : travel.last());
      QTest::mouseRelease(Window(), button, {}, Local(end));
    });
    QTest::mousePress(Window(), button, {}, Local(start));
  }

  // Signs on with the keyboard, then sits in the room `chatId` as far as the
  // control knows.
  void SignOnInRoom(int chatId) {
    form->findChild<XPButton*>("XPButton1")->setFocus();
    QTest::keyClick(form->findChild<XPButton*>("XPButton1"), Qt::Key_Space);
    QTRY_COMPARE_WITH_TIMEOUT(form->findChild<QLabel*>("Label1")->text(), QString("Online"), 5000);
    form->Control().SetLastChatID(chatId);
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

  void aButtonMovesWithTheMouseThenActsOnce() {
    auto* signOn = form->findChild<XPButton*>("XPButton1");
    const QPoint before = signOn->pos();
    int connectionsWhileHeld = -1;
    QPoint placeWhileHeld;
    Drag(signOn, {10, 8}, {{5, 3}, {20, 12}, {30, 40}}, [&] {
      connectionsWhileHeld = server->connections;
      placeWhileHeld = signOn->pos();
    });
    QCOMPARE(placeWhileHeld, before + QPoint(30, 40));
    QCOMPARE(signOn->pos(), before + QPoint(30, 40));
    QCOMPARE(connectionsWhileHeld, 0);  // no sign-on before the release
    QTRY_COMPARE_WITH_TIMEOUT(form->findChild<QLabel*>("Label1")->text(), QString("Online"), 5000);
    QCOMPARE(server->connections, 1);
  }

  void aPressAndReleaseInPlaceOnlyActs() {
    auto* signOff = form->findChild<XPButton*>("XPButton2");
    const QPoint before = signOff->pos();
    Drag(signOff, {10, 8}, {});
    QCOMPARE(signOff->pos(), before);
    QCOMPARE(form->findChild<QLabel*>("Label1")->text(), QString("Offline"));
  }

  void theBackgroundMovesTheWholeWindow() {
    auto* picture = form->findChild<QWidget*>("WinIII");
    const QPoint before = form->pos();
    const QPoint textBefore = form->findChild<QWidget*>("Text1")->pos();
    Drag(picture, {300, 150}, {{-7, 4}, {-40, 25}});
    QTRY_COMPARE_WITH_TIMEOUT(form->pos(), before + QPoint(-40, 25), 5000);
    QCOMPARE(form->findChild<QWidget*>("Text1")->pos(), textBefore);
  }

  // A press on the room box moves it; only a press and release in place is
  // the click that leaves the room.
  void theRoomBoxMovesOrLeavesTheRoom() {
    SignOnInRoom(5);
    auto* text3 = form->findChild<QLineEdit*>("Text3");
    const QPoint before = text3->pos();

    Drag(text3, {20, 9}, {{0, 50}});
    QCOMPARE(text3->pos(), before + QPoint(0, 50));
    Drag(text3, {20, 9}, {});
    QTRY_COMPARE_WITH_TIMEOUT(server->commands.back(), std::string(R"(toc_chat_leave "5")"), 5000);
    QCOMPARE(std::count(server->commands.begin(), server->commands.end(),
                        std::string(R"(toc_chat_leave "5")")),
             1);
  }

  // A control dragged past an edge stops at it: it stays inside the window.
  void aDraggedControlStaysInsideTheWindow() {
    auto* text1 = form->findChild<QWidget*>("Text1");
    const QPoint far = form->rect().bottomRight();
    Drag(text1, {5, 5}, {{-20, -20}, -far});
    QCOMPARE(text1->pos(), QPoint(0, 0));
    Drag(text1, {5, 5}, {{20, 20}, far});
    QCOMPARE(text1->pos(),
             QPoint(form->width() - text1->width(), form->height() - text1->height()));
  }

  // Only a left press and release in place on the room box leaves the room:
  // not a move given up with Escape, not a middle-button press.
  void aCancelledMoveOrAnotherButtonOnTheRoomBoxStaysInTheRoom() {
    SignOnInRoom(5);
    auto* text3 = form->findChild<QLineEdit*>("Text3");
    const QPoint before = text3->pos();
    Drag(text3, {20, 9}, {{0, 30}}, [&] { QTest::keyClick(text3, Qt::Key_Escape); });
    QCOMPARE(text3->pos(), before);
    Drag(text3, {20, 9}, {}, {}, Qt::MiddleButton);
    // A marker: whatever the presses sent has arrived before it.
    form->Control().SetLastChatID(6);
    Drag(text3, {20, 9}, {});
    QTRY_COMPARE_WITH_TIMEOUT(server->commands.back(), std::string(R"(toc_chat_leave "6")"), 5000);
    QCOMPARE(std::count(server->commands.begin(), server->commands.end(),
                        std::string(R"(toc_chat_leave "5")")),
             0);
  }

  void noButtonHeldMeansNoMove() {
    auto* text1 = form->findChild<QWidget*>("Text1");
    const QPoint before = text1->pos();
    WinDrag::DragWindow(text1);  // returns at once: nothing to follow
    WinDrag::DragWindow(nullptr);
    QCOMPARE(text1->pos(), before);
  }
};

QTEST_MAIN(WindowDrag)
#include "window_drag_test.moc"
