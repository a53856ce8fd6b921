#include "cSysTray.h"

cSysTray::cSysTray(QObject* parent) : QObject(parent) {
  connect(&icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            // A context-menu request or a middle click is not a restore.
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
              emit Restore(reason);
          });
}

void cSysTray::setIntray(bool shown) {
  intray_ = shown;
  icon_.setVisible(shown);
}

void cSysTray::Notify(const QString& title, const QString& body) {
  if (notifier_)
    notifier_(title, body);
  else
    icon_.showMessage(title, body, icon_.icon());
}
