// SPDX-License-Identifier: Apache-2.0
// The status panel's transport field: the line's transport ("UDP", "TCP", "TLS") and, for
// TLS, a lock (the desktop theme's, or one drawn in the text colour).
#pragma once

#include <QIcon>
#include <QWidget>

#include "sip/transport_kind.h"

class QLabel;

namespace quillet::ui {

// The lock of a secure line: the theme's "security-high" or "channel-secure-symbolic",
// else a padlock drawn in `color`.
QIcon lockIcon(const QColor& color);

class TransportLabel : public QWidget {
  Q_OBJECT
 public:
  explicit TransportLabel(QWidget* parent);

  void setTransport(sip::TransportKind kind);
  sip::TransportKind transport() const { return kind_; }
  // The parts (tests): the transport's name and the lock, shown only for TLS.
  QLabel* nameLabel() const { return name_; }
  QLabel* lockLabel() const { return lock_; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void drawLock();

  QLabel* lock_;
  QLabel* name_;
  sip::TransportKind kind_ = sip::TransportKind::Udp;
};

}  // namespace quillet::ui
