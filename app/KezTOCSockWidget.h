#pragma once

#include <QWidget>
#include <memory>

#include "kez/KezTOCSock.h"

class QLabel;

// The session control as a widget: it owns one KezTOCSock on a Qt socket
// (plain or TLS), and on screen it is only its logo area, to whose size it
// keeps itself whatever size its host asks for.
class KezTOCSockWidget : public QWidget {
  Q_OBJECT

 public:
  // 1875 by 555 twips at 15 twips a pixel.
  static constexpr int kLogoWidth = 125;
  static constexpr int kLogoHeight = 37;

  KezTOCSockWidget(kez::KezTOCSockEvents* events, std::unique_ptr<kez::Socket> socket,
                   QWidget* parent = nullptr);
  ~KezTOCSockWidget() override;

  kez::KezTOCSock& Control() { return *control_; }
  QLabel* imgSockLogo() const { return logo_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitToLogo();

  QLabel* logo_;
  std::unique_ptr<kez::KezTOCSock> control_;
};
