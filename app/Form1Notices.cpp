// The window's `--notify` part: what it tells of instant messages that
// arrive while it is out of sight.

#include <QEvent>
#include <QTimer>
#include <algorithm>

#include "Form1.h"
#include "cSysTray.h"
#include "kez/KezTOCSock.h"

namespace {

QString Text(const std::string& bytes) {
  return QString::fromStdString(bytes);
}

}  // namespace

void Form1::InstantMessage(const std::string& strUserName, const std::string& strMessage, bool,
                           const std::string&) {
  if (!notify_ || !OutOfSight()) return;
  const auto now = MessageNotices::Clock::now();
  if (const auto notice = notices_.Arrived(strUserName, Control().RemoveHtml(strMessage), now))
    ShowNotice(*notice);
  ShowUnread();
  ArmFoldTimer(now);
}

void Form1::ArmFoldTimer(MessageNotices::Clock::time_point now) {
  if (const auto due = notices_.NextDue())
    foldTimer_->start(std::max(std::chrono::ceil<std::chrono::milliseconds>(*due - now),
                               std::chrono::milliseconds(0)));
}

bool Form1::OutOfSight() const {
  return !isVisible() || isMinimized();
}

// A notification comes from the tray icon, so only while it is shown; a
// minimised window has its title, which the task bar shows.
void Form1::ShowNotice(const MessageNotices::Notice& notice) {
  if (cSysTray1->intray()) cSysTray1->Notify(Text(notice.title), Text(notice.body));
}

void Form1::ShowFoldedNotices() {
  const auto now = MessageNotices::Clock::now();
  for (const MessageNotices::Notice& notice : notices_.Due(now)) ShowNotice(notice);
  ArmFoldTimer(now);
}

void Form1::ShowUnread() {
  const int unread = notices_.Unread();
  cSysTray1->setTraytip(unread ? QString("Reposa: %1 unread").arg(unread) : QString("Reposa"));
  setWindowTitle(unread ? QString("Reposa (%1 unread)").arg(unread) : QString("Reposa"));
}

// Shown again, from the tray or from the task bar: everything has been seen.
void Form1::AllSeen() {
  if (!notify_ || isMinimized()) return;
  notices_.Seen();
  foldTimer_->stop();
  ShowUnread();
}

void Form1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isVisible()) AllSeen();
}

void Form1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  AllSeen();
}
