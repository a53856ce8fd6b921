#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>

// The notification-area icon. Setting `intray` shows or removes it; a click or
// double-click on the shown icon raises Restore.
class cSysTray : public QObject {
  Q_OBJECT

 public:
  explicit cSysTray(QObject* parent = nullptr);

  bool intray() const { return intray_; }
  void setIntray(bool shown);

  QIcon trayicon() const { return icon_.icon(); }
  void setTrayicon(const QIcon& icon) { icon_.setIcon(icon); }

  QString traytip() const { return icon_.toolTip(); }
  void setTraytip(const QString& tip) { icon_.setToolTip(tip); }

  // Whether the desktop has a notification area to show the icon in.
  bool Available() const { return available_(); }
  // Tests stand in for the desktop's answer.
  void SetAvailabilityProbe(std::function<bool()> probe) { available_ = std::move(probe); }

  QSystemTrayIcon& Icon() { return icon_; }

  // A notification from the shown icon.
  void Notify(const QString& title, const QString& body);
  // Tests stand in for the desktop's notifications.
  void SetNotifier(std::function<void(const QString&, const QString&)> notifier) {
    notifier_ = std::move(notifier);
  }

 signals:
  // The user clicked the icon; the reason is Qt's.
  void Restore(QSystemTrayIcon::ActivationReason reason);

 private:
  QSystemTrayIcon icon_;
  bool intray_ = false;
  std::function<bool()> available_ = &QSystemTrayIcon::isSystemTrayAvailable;
  std::function<void(const QString&, const QString&)> notifier_;
};
