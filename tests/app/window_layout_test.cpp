// What the window looks like at start: every control's name, kind, text,
// place, colours, font and tab order, the control that keeps its size, the
// button's painting and keys, and the two pictures.

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>

#include "Form1.h"
#include "KezTOCSockWidget.h"
#include "Pictures.h"
#include "XPButton.h"
#include "cSysTray.h"

namespace {

struct Place {
  const char* name;
  const char* kind;  // class name
  const char* text;
  QRect geometry;  // relative to the parent: Label1 lies inside Frame1
};

// In pixels, at 15 twips a pixel.
const Place kPlaces[] = {
    {"B", "KezTOCSockWidget", nullptr, {328, 264, 125, 37}},
    {"Text4", "TextBox", "4", {256, 24, 17, 19}},
    {"Text3", "TextBox", "Chat Room", {152, 24, 105, 19}},
    {"Frame1", "QGroupBox", "Status", {256, 192, 97, 41}},
    {"Label1", "QLabel", "None", {8, 16, 65, 17}},
    {"XPButton1", "XPButton", "Sign On", {24, 88, 57, 17}},
    {"Text2", "TextBox", "Password", {24, 56, 121, 19}},
    {"Text1", "TextBox", "Screen Name", {24, 24, 121, 19}},
    {"XPButton2", "XPButton", "Sign Off", {88, 88, 57, 17}},
    {"XPButton3", "XPButton", "Join", {152, 88, 57, 17}},
    {"XPButton4", "XPButton", "Leave", {216, 88, 57, 17}},
    {"XPButton5", "XPButton", "Send To Tray", {152, 56, 121, 17}},
    {"WinIII", "PictureBox", nullptr, {0, 0, 361, 241}},
};

// Where Tab goes from Text1; the frame, the label and B take no focus.
const char* const kTabStops[] = {"Text1", "Text2",     "XPButton1", "XPButton2", "Text3",
                                 "Text4", "XPButton3", "XPButton4", "XPButton5"};

const QColor kGreen(0x00, 0xFF, 0x00);
const QColor kBlack(0x00, 0x00, 0x00);

QString TextOf(QObject* control) {
  if (auto* box = qobject_cast<QLineEdit*>(control)) return box->text();
  if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
  if (auto* frame = qobject_cast<QGroupBox*>(control)) return frame->title();
  if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
  return {};
}

// The brightest green of the caption, inside the edges. Smoothed text mixes
// the caption colour with the black face, so no pixel is greener than it.
int CaptionGreen(const QImage& image) {
  int brightest = 0;
  for (int y = 3; y < image.height() - 3; ++y)
    for (int x = 3; x < image.width() - 3; ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.red() != 0 || c.blue() != 0) return -1;  // not green on black
      brightest = std::max(brightest, c.green());
    }
  return brightest;
}

}  // namespace

class WindowLayout : public QObject {
  Q_OBJECT

 private slots:
  void windowIsFixedAt360By240WithItsCaptionAndIcon() {
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.windowTitle(), QString("Reposa"));
    QCOMPARE(form.size(), QSize(360, 240));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    form.resize(500, 400);  // what dragging a border would ask for
    QCOMPARE(form.size(), QSize(360, 240));
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
  }

  void everyControlHasItsNameKindTextAndPlace() {
    Form1 form;
    form.show();
    for (const Place& row : kPlaces) {
      QWidget* control = form.findChild<QWidget*>(row.name);
      QVERIFY2(control, row.name);
      QCOMPARE(QString(control->metaObject()->className()), QString(row.kind));
      QCOMPARE(control->geometry(), row.geometry);
      if (row.text) QCOMPARE(TextOf(control), QString(row.text));
    }
    QCOMPARE(form.findChild<QLabel*>("Label1")->parentWidget()->objectName(), QString("Frame1"));
    // The picture is the background: every other control is drawn above it.
    const QList<QWidget*> stack = form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(stack.first()->objectName(), QString("WinIII"));
  }

  void textBoxesAreGreenOnBlackEditableAndUnmasked() {
    Form1 form;
    for (const char* name : {"Text1", "Text2", "Text3", "Text4"}) {
      auto* box = form.findChild<QLineEdit*>(name);
      QVERIFY2(box, name);
      QCOMPARE(box->palette().color(QPalette::Base), kBlack);
      QCOMPARE(box->palette().color(QPalette::Text), kGreen);
      QVERIFY(!box->isReadOnly());
      QCOMPARE(box->echoMode(), QLineEdit::Normal);
      QCOMPARE(box->font(), QApplication::font());
    }
    auto* frame = form.findChild<QGroupBox*>("Frame1");
    QVERIFY(frame->autoFillBackground());
    QCOMPARE(frame->palette().color(QPalette::Window), kBlack);
    QCOMPARE(frame->palette().color(QPalette::WindowText), kGreen);
    auto* label = form.findChild<QLabel*>("Label1");
    QCOMPARE(label->palette().color(QPalette::WindowText), kGreen);
    QCOMPARE(label->palette().color(QPalette::Window), kBlack);
    // Every status word shows whole in the narrow label.
    for (const char* word : {"None", "Online", "Offline", "Chat Joined", "Chat Left"})
      QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(word) <= label->width(), word);
  }

  void focusStartsInText1AndTabFollowsTheTabOrder() {
    Form1 form;
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget()->objectName(), QString("Text1"));
    const int stops = int(std::size(kTabStops));
    for (int i = 1; i <= stops; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget()->objectName(), QString(kTabStops[i % stops]));
    }
  }

  void buttonsCarryTheirSettings() {
    Form1 form;
    for (const char* name : {"XPButton1", "XPButton2", "XPButton3", "XPButton4", "XPButton5"}) {
      auto* b = form.findChild<XPButton*>(name);
      QVERIFY2(b, name);
      QVERIFY(b->isEnabled());
      QCOMPARE(b->font().family(), QString("Times New Roman"));
      QCOMPARE(b->font().pointSizeF(), 8.25);
      QCOMPARE(b->font().weight(), QFont::Normal);
      QVERIFY(!b->font().italic() && !b->font().underline() && !b->font().strikeOut());
      QCOMPARE(b->bcol(), QColor(0x00, 0x00, 0x00));
      QCOMPARE(b->fcol(), QColor(0x00, 0xC0, 0x00));
      QCOMPARE(b->fcolo(), QColor(0x00, 0xFF, 0x00));
      QCOMPARE(b->embossm(), QColor(0xC0, 0xC0, 0xC0));
      QCOMPARE(b->embosss(), QColor(0xFF, 0xFF, 0xFF));
    }
  }

  // The settings must show: a black face, silver and white edges, and the
  // caption green, brighter under the mouse.
  void buttonPaintsItsColours() {
    XPButton button("Sign On");
    button.resize(57, 17);
    QImage plain = button.grab().toImage();
    QCOMPARE(plain.pixelColor(0, 8), QColor(0xC0, 0xC0, 0xC0));
    QCOMPARE(plain.pixelColor(56, 8), QColor(0xC0, 0xC0, 0xC0));
    QCOMPARE(plain.pixelColor(1, 8), QColor(0xFF, 0xFF, 0xFF));
    QCOMPARE(plain.pixelColor(3, 8), QColor(0x00, 0x00, 0x00));
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
    QImage hovered = button.grab().toImage();
    QVERIFY(CaptionGreen(plain) > 0x80);
    QVERIFY(CaptionGreen(plain) <= 0xC0);
    QVERIFY(CaptionGreen(hovered) > 0xC0);
  }

  void buttonPressesOnMouseDownSpaceAndEnter() {
    XPButton button("Join");
    button.resize(57, 17);
    QSignalSpy presses(&button, &XPButton::Press);
    QTest::mousePress(&button, Qt::RightButton, Qt::ShiftModifier, QPoint(5, 6));
    QCOMPARE(presses.size(), 1);
    QCOMPARE(presses[0][0].value<Qt::MouseButton>(), Qt::RightButton);
    QCOMPARE(presses[0][2].toInt(), 5);
    QTest::mouseRelease(&button, Qt::RightButton, Qt::ShiftModifier, QPoint(5, 6));
    QCOMPARE(presses.size(), 1);  // no second report on release
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
      QTest::keyClick(&button, key);
    }
    QCOMPARE(presses.size(), 4);
    QTest::keyClick(&button, Qt::Key_A);
    QCOMPARE(presses.size(), 4);
    button.setEnabled(false);
    QTest::mousePress(&button, Qt::LeftButton);
    QCOMPARE(presses.size(), 4);
  }

  void controlKeepsItsLogoSizeWhateverItsHostAsks() {
    Form1 form;
    form.show();
    auto* b = form.findChild<KezTOCSockWidget*>("B");
    QCOMPARE(b->size(), QSize(125, 37));
    QCOMPARE(b->imgSockLogo()->geometry(), QRect(0, 0, 125, 37));
    QVERIFY(b->imgSockLogo()->pixmap().isNull());
    b->resize(300, 10);
    QCOMPARE(b->size(), QSize(125, 37));
    b->setGeometry(1, 2, 3, 4);
    QCOMPARE(b->geometry(), QRect(1, 2, 125, 37));
    b->setMinimumSize(400, 300);  // a host insisting
    b->resize(400, 300);
    QCOMPARE(b->size(), QSize(125, 37));
  }

  void trayStartsAbsentWithTheIconAndTooltip() {
    Form1 form;
    auto* tray = form.findChild<cSysTray*>("cSysTray1");
    QVERIFY(tray);
    QVERIFY(!tray->intray());
    QVERIFY(!tray->Icon().isVisible());
    QCOMPARE(tray->traytip(), QString("Reposa"));
    QCOMPARE(tray->trayicon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_RGB32),
             Pictures::Icon().convertToFormat(QImage::Format_RGB32));
  }

  void iconIsAnOutlinedScreenWithGreenLinesInItsUpperHalf() {
    const QImage icon = Pictures::Icon();
    QCOMPARE(icon.size(), QSize(32, 32));
    QVERIFY(icon.colorCount() <= 16);
    QVERIFY(!icon.hasAlphaChannel());
    const QColor white(255, 255, 255), black(0, 0, 0), green(0, 255, 0);
    // The outline: one pixel in from the sides, two from the top and bottom.
    for (int x = 1; x <= 30; ++x) {
      QCOMPARE(icon.pixelColor(x, 2), white);
      QCOMPARE(icon.pixelColor(x, 29), white);
      QCOMPARE(icon.pixelColor(x, 1), black);
      QCOMPARE(icon.pixelColor(x, 30), black);
    }
    for (int y = 2; y <= 29; ++y) {
      QCOMPARE(icon.pixelColor(1, y), white);
      QCOMPARE(icon.pixelColor(30, y), white);
      QCOMPARE(icon.pixelColor(0, y), black);
      QCOMPARE(icon.pixelColor(31, y), black);
    }
    // Green only inside the outline and in the upper half, in four bands.
    int bands = 0;
    bool previousRowGreen = false;
    for (int y = 0; y < 32; ++y) {
      bool rowGreen = false;
      for (int x = 0; x < 32; ++x) {
        if (icon.pixelColor(x, y) != green) continue;
        QVERIFY(y > 2 && y < 16 && x > 1 && x < 30);
        rowGreen = true;
      }
      bands += rowGreen && !previousRowGreen;
      previousRowGreen = rowGreen;
    }
    QCOMPARE(bands, 4);
  }

  void backgroundIsRingsOnBlackWithAGlowFromTheUpperRight() {
    const QImage picture = Pictures::Background();
    QCOMPARE(picture.size(), QSize(361, 241));
    auto brightness = [&](int x, int y) { return qGray(picture.pixel(x, y)); };
    QVERIFY(brightness(358, 2) > 200);  // the glow's source
    QVERIFY(brightness(2, 238) < 100);
    // Along the rings' middle row, the widest dark run between two rings is
    // the inside of the smallest one: its middle is the rings' centre.
    const int y = 124;
    int bestStart = 0, bestLength = 0, runStart = -1, rings = 0;
    for (int x = 0; x < 361; ++x) {
      const bool ring = picture.pixelColor(x, y).green() > 80;
      if (ring && runStart >= 0 && x - runStart > bestLength) {
        bestStart = runStart;
        bestLength = x - runStart;
      }
      if (ring && (x == 0 || picture.pixelColor(x - 1, y).green() <= 80)) ++rings;
      if (ring)
        runStart = -1;
      else if (runStart < 0 && rings > 0)
        runStart = x;
    }
    QVERIFY2(rings > 8, qPrintable(QString::number(rings)));
    const int centre = bestStart + bestLength / 2;
    QVERIFY2(centre > 60 && centre < 170, qPrintable(QString::number(centre)));
  }
};

QTEST_MAIN(WindowLayout)
#include "window_layout_test.moc"
