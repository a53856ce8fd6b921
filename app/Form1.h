#pragma once

#include <QWidget>
#include <memory>
#include <optional>

#include "MessageNotices.h"
#include "kez/KezTOCSockEvents.h"
#include "kez/host/Address.h"

class cSysTray;
class KezTOCSockWidget;
class PictureBox;
class QGroupBox;
class QLabel;
class QProxyStyle;
class QTimer;
class TextBox;
class XPButton;

class QtTimer;

namespace kez {
class KezTOCSock;
namespace host {
class KeepPresent;
struct JoinTarget;
}  // namespace host
}  // namespace kez

// The presence window: sign on and off, join and leave one chat room, show
// one status word, hide in the notification area. It keeps no data of its
// own; its whole state is in its controls.
class Form1 : public QWidget, private kez::KezTOCSockEvents {
  Q_OBJECT

 public:
  // A tls:// server is verified with `caFile`, or the system's store when
  // it is empty.
  explicit Form1(kez::host::Address server = kez::host::LocalServer(), QString caFile = {},
                 QWidget* parent = nullptr);
  ~Form1() override;

  kez::KezTOCSock& Control();
  // Signs on again by itself after a lost connection, and joins its room
  // again after each sign-on (`reposa --reconnect`).
  void SetReconnect(bool on);
  // Tells of instant messages that arrive while the window is out of sight
  // (`reposa --notify`): a notification from the tray icon, and the count of
  // unread messages in its tooltip, or in the title where there is no tray.
  void SetNotify(bool on) { notify_ = on; }

  // Text4 as a 16-bit exchange number: a whole decimal number from -32768 to
  // 32767, with surrounding spaces allowed; nothing otherwise.
  static std::optional<int16_t> ExchangeNumber(const QString& text);

 private:
  void Build();
  void BuildControls(const QIcon& icon);
  void BuildStatus();
  TextBox* MakeTextBox(const char* name, const QString& text, QRect place);
  XPButton* MakeButton(const char* name, const QString& caption, QRect place);
  void SetTabOrder();
  void ConnectGestures();
  void FitStatusWords();

  // The user's gestures.
  void XPButton1_Press();
  void XPButton2_Press();
  void XPButton3_Press();
  void XPButton4_Press();
  void XPButton5_Press();
  void cSysTray1_Restore();
  void Text_MouseDown(TextBox* box, Qt::MouseButton button);
  void Text2_Change();
  void Text3_Click();
  void WinIII_MouseDown();

  // The control's events.
  void JoinedChat(const std::string& strChatName, int32_t lngChatID) override;
  void LeftChat(int32_t lngChatID) override;
  void LoggedIn(const std::string& strUserName, std::vector<std::string> BuddyList,
                std::vector<std::string> BlockList, std::vector<std::string> PrivateList,
                std::vector<std::string> MiscData, const std::string& strPreferences,
                int16_t PrivacyMode) override;
  void LoggedOut(const std::string& strUserName) override;
  // A lost connection leaves the session as a sign-off does; the status
  // label's tooltip says why.
  void Error(int16_t intErrorCode, const std::string& strError) override;
  void WinsockError(const std::string& strError) override;
  void ConnectionClosed() override;
  void InstantMessage(const std::string& strUserName, const std::string& strMessage,
                      bool blnAutoResponse, const std::string& strUserClass) override;
  bool OutOfSight() const;
  void ShowNotice(const MessageNotices::Notice& notice);
  void ShowFoldedNotices();
  void ArmFoldTimer(MessageNotices::Clock::time_point now);
  void AllSeen();
  void ShowUnread();
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void ShowOffline(const QString& reason);
  void SetStatusReason(const QString& reason);
  void SignOnAgain();
  void JoinAgain(const kez::host::JoinTarget& room);

  const kez::host::Address server_;
  const QString caFile_;
  // The last sign-on, for signing on again, and the server's last error
  // text, the likely reason when it then closes the connection.
  std::string lastUserName_, lastPassword_;
  QString lastError_;
  std::unique_ptr<QtTimer> timer_;
  std::unique_ptr<kez::host::KeepPresent> keep_;
  bool notify_ = false;
  MessageNotices notices_;
  QTimer* foldTimer_;

  cSysTray* cSysTray1;
  KezTOCSockWidget* B;
  TextBox* Text4;
  TextBox* Text3;
  QGroupBox* Frame1;
  QLabel* Label1;
  XPButton* XPButton1;
  TextBox* Text2;
  TextBox* Text1;
  XPButton* XPButton2;
  XPButton* XPButton3;
  XPButton* XPButton4;
  XPButton* XPButton5;
  PictureBox* WinIII;
  QProxyStyle* maskStyle_;
};
