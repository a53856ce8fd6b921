#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

#include "kez/Backoff.h"

// `reposa --reconnect`: after a lost connection, the last sign-on again once
// the hosts' shared backoff has waited. Off until enabled.
class Reconnect : public QObject {
  Q_OBJECT

 public:
  Reconnect(std::function<void()> signOn, QObject* parent = nullptr);

  void SetEnabled(bool on) { enabled_ = on; }

  // The events of the session that steer it.
  void SignedOn();
  void SignedOff();  // on purpose: no retrying until the next sign-on
  void Restart();    // a sign-on by hand: no attempt waits any more
  // An Error event; a refused account or a blocked sign-on ends the retrying.
  void Error(int16_t code);
  // The connection is gone: schedules the next attempt. Returns its wait in
  // seconds, or a negative number when none is scheduled.
  double Lost();

  int Attempt() const { return backoff_.Attempt(); }

 private:
  std::function<void()> signOn_;
  kez::Backoff backoff_;
  QTimer timer_;
  bool enabled_ = false;
  bool signedOff_ = false;
};
