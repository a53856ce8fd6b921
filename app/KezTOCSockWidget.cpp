#include "KezTOCSockWidget.h"

#include <QLabel>
#include <QResizeEvent>

KezTOCSockWidget::KezTOCSockWidget(kez::KezTOCSockEvents* events,
                                   std::unique_ptr<kez::Socket> socket, QWidget* parent)
    : QWidget(parent),
      logo_(new QLabel(this)),
      control_(std::make_unique<kez::KezTOCSock>(std::move(socket), events)) {
  logo_->setObjectName("imgSockLogo");
  logo_->setGeometry(0, 0, kLogoWidth, kLogoHeight);
  FitToLogo();
}

KezTOCSockWidget::~KezTOCSockWidget() = default;

void KezTOCSockWidget::FitToLogo() {
  // Height first, then width, as the control always has.
  setFixedHeight(logo_->height());
  setFixedWidth(logo_->width());
}

void KezTOCSockWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (event->size() != logo_->size()) FitToLogo();
}
