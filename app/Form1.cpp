#include "Form1.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QProxyStyle>
#include <QTimer>
#include <exception>

#include "KezTOCSockWidget.h"
#include "PictureBox.h"
#include "Pictures.h"
#include "QtTimer.h"
#include "TextBox.h"
#include "WinDrag.h"
#include "XPButton.h"
#include "cSysTray.h"
#include "kez/host/KeepPresent.h"
#include "kez/qt/QtSocket.h"
#include "kez/qt/TlsSocket.h"

namespace {

constexpr int kClientWidth = 360;
constexpr int kClientHeight = 240;
const QColor kGreen(0x00, 0xFF, 0x00);
const QColor kBlack(0x00, 0x00, 0x00);

// Text2's mask character: Qt's own default is a bullet.
class AsteriskMaskStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

void SetColors(QWidget* widget, QPalette::ColorRole background, QColor text) {
  QPalette palette = widget->palette();
  palette.setColor(background, kBlack);
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Highlight, text);
  palette.setColor(QPalette::HighlightedText, kBlack);
  widget->setPalette(palette);
}

std::string Bytes(const QString& text) {
  return text.toStdString();
}

}  // namespace

Form1::Form1(kez::host::Address server, QString caFile, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      server_(std::move(server)),
      caFile_(std::move(caFile)),
      timer_(std::make_unique<QtTimer>()),
      keep_(std::make_unique<kez::host::KeepPresent>(
          *timer_, kez::host::KeepPresent::Actions{
                       [this] { SignOnAgain(); },
                       [this](const kez::host::JoinTarget& room) { JoinAgain(room); }})),
      foldTimer_(new QTimer(this)) {
  foldTimer_->setSingleShot(true);
  connect(foldTimer_, &QTimer::timeout, this, &Form1::ShowFoldedNotices);
  Build();
}

void Form1::SetReconnect(bool on) {
  keep_->SetEnabled(on);
}

Form1::~Form1() {
  // The control may still be reporting while the children go; it has no one
  // to report to from here on.
  Control().SetEvents(nullptr);
}

kez::KezTOCSock& Form1::Control() {
  return B->Control();
}

void Form1::Build() {
  setObjectName("Form1");
  setWindowTitle("Reposa");
  const QIcon icon(QPixmap::fromImage(Pictures::Icon()));
  setWindowIcon(icon);
  setFixedSize(kClientWidth, kClientHeight);
  BuildControls(icon);
  maskStyle_ = new AsteriskMaskStyle;
  maskStyle_->setParent(this);
  Text2->setStyle(maskStyle_);
  SetTabOrder();
  ConnectGestures();
}

// The controls in their creation order; places in pixels.
void Form1::BuildControls(const QIcon& icon) {
  cSysTray1 = new cSysTray(this);
  cSysTray1->setObjectName("cSysTray1");
  cSysTray1->setTrayicon(icon);
  cSysTray1->setTraytip("Reposa");

  std::unique_ptr<kez::Socket> socket;
  if (server_.tls)
    socket = std::make_unique<kez::qt::TlsSocket>(caFile_);
  else
    socket = std::make_unique<kez::qt::QtSocket>();
  B = new KezTOCSockWidget(this, std::move(socket), this);
  B->setObjectName("B");
  B->move(328, 264);  // below the client area: nothing of it shows
  B->setFocusPolicy(Qt::NoFocus);

  Text4 = MakeTextBox("Text4", "4", {256, 24, 17, 19});
  Text3 = MakeTextBox("Text3", "Chat Room", {152, 24, 105, 19});
  BuildStatus();
  XPButton1 = MakeButton("XPButton1", "Sign On", {24, 88, 57, 17});
  Text2 = MakeTextBox("Text2", "Password", {24, 56, 121, 19});
  Text1 = MakeTextBox("Text1", "Screen Name", {24, 24, 121, 19});
  XPButton2 = MakeButton("XPButton2", "Sign Off", {88, 88, 57, 17});
  XPButton3 = MakeButton("XPButton3", "Join", {152, 88, 57, 17});
  XPButton4 = MakeButton("XPButton4", "Leave", {216, 88, 57, 17});
  XPButton5 = MakeButton("XPButton5", "Send To Tray", {152, 56, 121, 17});

  WinIII = new PictureBox(this);
  WinIII->setObjectName("WinIII");
  WinIII->setGeometry(0, 0, 361, 241);
  WinIII->setPixmap(QPixmap::fromImage(Pictures::Background()));
  WinIII->lower();  // the background of everything else
}

void Form1::BuildStatus() {
  Frame1 = new QGroupBox("Status", this);
  Frame1->setObjectName("Frame1");
  Frame1->setGeometry(256, 192, 97, 41);
  Frame1->setAutoFillBackground(true);
  SetColors(Frame1, QPalette::Window, kGreen);

  Label1 = new QLabel("None", Frame1);
  Label1->setObjectName("Label1");
  Label1->setGeometry(8, 16, 65, 17);
  Label1->setAutoFillBackground(true);
  SetColors(Label1, QPalette::Window, kGreen);
  FitStatusWords();
}

TextBox* Form1::MakeTextBox(const char* name, const QString& text, QRect place) {
  auto* box = new TextBox(text, this);
  box->setObjectName(name);
  box->setGeometry(place);
  SetColors(box, QPalette::Base, kGreen);
  connect(box, &TextBox::MouseDown, this,
          [this, box](Qt::MouseButton button) { Text_MouseDown(box, button); });
  return box;
}

XPButton* Form1::MakeButton(const char* name, const QString& caption, QRect place) {
  auto* button = new XPButton(caption, this);
  button->setObjectName(name);
  button->setGeometry(place);
  return button;
}

// Frame1 and Label1 (between "Sign Off" and Text3) and B (before "Send To
// Tray") take no focus; left in the chain, they would drag their own
// children along and scramble it.
void Form1::SetTabOrder() {
  const QList<QWidget*> order = {Text1, Text2,     XPButton1, XPButton2, Text3,
                                 Text4, XPButton3, XPButton4, XPButton5};
  for (qsizetype i = 0; i + 1 < order.size(); ++i) setTabOrder(order[i], order[i + 1]);
  Text1->setFocus();
}

void Form1::ConnectGestures() {
  connect(XPButton1, &XPButton::Press, this, &Form1::XPButton1_Press);
  connect(XPButton2, &XPButton::Press, this, &Form1::XPButton2_Press);
  connect(XPButton3, &XPButton::Press, this, &Form1::XPButton3_Press);
  connect(XPButton4, &XPButton::Press, this, &Form1::XPButton4_Press);
  connect(XPButton5, &XPButton::Press, this, &Form1::XPButton5_Press);
  connect(cSysTray1, &cSysTray::Restore, this, &Form1::cSysTray1_Restore);
  connect(Text2, &QLineEdit::textChanged, this, &Form1::Text2_Change);
  connect(WinIII, &PictureBox::MouseDown, this, &Form1::WinIII_MouseDown);
}

// The label is as narrow as it always was; a wide user-interface font would
// cut "Chat Joined" short, so the label's font shrinks until every word fits.
void Form1::FitStatusWords() {
  QFont font = Label1->font();
  auto fits = [&] {
    const QFontMetrics metrics(font);
    for (const char* word : {"None", "Online", "Offline", "Chat Joined", "Chat Left"})
      if (metrics.horizontalAdvance(word) > Label1->contentsRect().width()) return false;
    return true;
  };
  while (!fits()) {
    if (font.pointSizeF() > 5)
      font.setPointSizeF(font.pointSizeF() - 0.5);
    else if (font.pixelSize() > 7)
      font.setPixelSize(font.pixelSize() - 1);
    else
      break;
  }
  Label1->setFont(font);
}

std::optional<int16_t> Form1::ExchangeNumber(const QString& text) {
  bool ok = false;
  const short number = text.trimmed().toShort(&ok, 10);
  if (!ok) return {};
  return static_cast<int16_t>(number);
}

// Each button first lets itself be moved, then acts; the move runs an event
// loop of its own, in which the window may go away.

void Form1::XPButton1_Press() {
  QPointer<Form1> self(this);
  WinDrag::DragWindow(XPButton1);
  if (!self) return;
  lastUserName_ = Bytes(Text1->text());
  lastPassword_ = Bytes(Text2->text());
  keep_->SignOnByHand();  // the user's own sign-on replaces a waiting one
  Control().Login(lastUserName_, lastPassword_, server_.host, server_.port);
}

void Form1::SignOnAgain() {
  Control().Login(lastUserName_, lastPassword_, server_.host, server_.port);
}

// With --reconnect, after a sign-on: the room the window was in.
void Form1::JoinAgain(const kez::host::JoinTarget& room) {
  try {
    Control().JoinChat(room.room, room.exchange);
  } catch (const std::exception&) {
    // A name that cannot be sent: nothing went out, nothing changes.
  }
}

void Form1::XPButton2_Press() {
  QPointer<Form1> self(this);
  WinDrag::DragWindow(XPButton2);
  if (!self) return;
  Control().LogOff();
}

void Form1::XPButton3_Press() {
  QPointer<Form1> self(this);
  WinDrag::DragWindow(XPButton3);
  if (!self) return;
  const auto exchange = ExchangeNumber(Text4->text());
  if (!exchange) return;  // not a 16-bit number: there is nothing to join
  try {
    const std::string room = Bytes(Text3->text());
    Control().JoinChat(room, *exchange);
    keep_->JoinRequested({room, *exchange});
  } catch (const std::exception&) {
    // A name that cannot be sent: nothing went out, nothing changes.
  }
}

void Form1::XPButton4_Press() {
  QPointer<Form1> self(this);
  WinDrag::DragWindow(XPButton4);
  if (!self) return;
  Text3_Click();
}

void Form1::XPButton5_Press() {
  QPointer<Form1> self(this);
  WinDrag::DragWindow(XPButton5);
  if (!self) return;
  if (!cSysTray1->Available()) {
    // Hidden with no icon there would be no way back.
    showMinimized();
    return;
  }
  cSysTray1->setIntray(true);
  hide();
}

void Form1::cSysTray1_Restore() {
  showNormal();
  raise();
  activateWindow();
  cSysTray1->setIntray(false);
}

void Form1::Text_MouseDown(TextBox* box, Qt::MouseButton button) {
  QPointer<Form1> self(this);
  const QPoint before = box->pos();
  WinDrag::DragWindow(box);
  // A left press and release in place is a click; a move given up with
  // Escape ends where it began, but is no click.
  if (self && box == Text3 && button == Qt::LeftButton && box->pos() == before &&
      !WinDrag::LastMoveCancelled())
    Text3_Click();
}

void Form1::Text2_Change() {
  Text2->setEchoMode(QLineEdit::Password);
}

void Form1::Text3_Click() {
  const int32_t chatID = Control().LastChatID();
  try {
    Control().LeaveChat(Bytes(Text3->text()), chatID);
  } catch (const std::exception&) {
    // A name that cannot be sent: nothing went out, nothing changes.
  }
}

void Form1::WinIII_MouseDown() {
  WinDrag::DragWindow(this);
}

void Form1::JoinedChat(const std::string& strChatName, int32_t lngChatID) {
  keep_->JoinedChat(strChatName, lngChatID);
  Text3->setReadOnly(true);
  Text4->setReadOnly(true);
  Label1->setText("Chat Joined");
}

void Form1::LeftChat(int32_t lngChatID) {
  keep_->LeftChat(lngChatID);
  Text3->setReadOnly(false);
  Text4->setReadOnly(false);
  Label1->setText("Chat Left");
}

void Form1::LoggedIn(const std::string&, std::vector<std::string>, std::vector<std::string>,
                     std::vector<std::string>, std::vector<std::string>, const std::string&,
                     int16_t) {
  Label1->setText("Online");
  Text2->setReadOnly(true);
  Text1->setReadOnly(true);
  lastError_.clear();
  SetStatusReason({});
  keep_->LoggedIn();
}

void Form1::LoggedOut(const std::string&) {
  keep_->LoggedOut();
  ShowOffline("Signed off");
}

void Form1::Error(int16_t intErrorCode, const std::string& strError) {
  lastError_ = QString::fromStdString(strError);
  keep_->Error(intErrorCode, strError, Control().State());  // a refused account ends the retrying
}

void Form1::WinsockError(const std::string& strError) {
  ShowOffline(QString::fromStdString(strError));
}

void Form1::ConnectionClosed() {
  ShowOffline(lastError_.isEmpty() ? QString("Connection closed by the server") : lastError_);
}

void Form1::ShowOffline(const QString& reason) {
  Label1->setText("Offline");
  Text1->setReadOnly(false);
  Text2->setReadOnly(false);
  lastError_.clear();
  QString text = reason;
  keep_->Lost();
  if (const auto& retry = keep_->Waiting())
    text += "\n" + QString::fromStdString(kez::host::RetryText(*retry));
  SetStatusReason(text);
}

// The status words stay as they are; why the window went offline is in the
// label's tooltip, and in its accessible description for screen readers.
void Form1::SetStatusReason(const QString& reason) {
  Label1->setToolTip(reason);
  Label1->setAccessibleDescription(reason);
}
