// SPDX-License-Identifier: Apache-2.0
// Accessible names and descriptions: set one by one, or found for a whole dialog from the
// labels, texts and tool tips its controls show.
#include "ui/accessibility.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHash>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRegularExpression>

namespace quillet::ui {

namespace {

bool isControl(const QWidget* widget) {
  return qobject_cast<const QAbstractButton*>(widget) != nullptr ||
         qobject_cast<const QLineEdit*>(widget) != nullptr ||
         qobject_cast<const QComboBox*>(widget) != nullptr ||
         qobject_cast<const QAbstractSpinBox*>(widget) != nullptr ||
         qobject_cast<const QAbstractSlider*>(widget) != nullptr ||
         qobject_cast<const QAbstractItemView*>(widget) != nullptr ||
         qobject_cast<const QProgressBar*>(widget) != nullptr ||
         qobject_cast<const QKeySequenceEdit*>(widget) != nullptr;
}

// The box a field is part of (a combo, spin or key box), or nullptr.
const QWidget* enclosingBox(const QWidget* field) {
  const QWidget* parent = field->parentWidget();
  if (qobject_cast<const QLineEdit*>(field) == nullptr || parent == nullptr) return nullptr;
  if (qobject_cast<const QComboBox*>(parent) != nullptr ||
      qobject_cast<const QAbstractSpinBox*>(parent) != nullptr ||
      qobject_cast<const QKeySequenceEdit*>(parent) != nullptr) {
    return parent;
  }
  return nullptr;
}

QString ownText(const QWidget* control) {
  if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
    return spokenText(button->text());
  }
  return {};
}

}  // namespace

void setAccessible(QWidget* control, const QString& name, const QString& description) {
  control->setAccessibleName(name);
  if (!description.isEmpty()) control->setAccessibleDescription(description);
}

QString spokenText(const QString& text) {
  QString spoken = text;
  spoken.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
  spoken.remove(u'&');
  spoken.replace(u'\x01', u'&');
  static const QRegularExpression keyHint(QStringLiteral("\\s*\\((F\\d+|Ctrl\\+[^)]+)\\)$"));
  spoken.remove(keyHint);
  spoken = spoken.trimmed();
  while (spoken.endsWith(u':')) spoken.chop(1);
  return spoken.trimmed();
}

void nameControls(QWidget* root) {
  QHash<const QWidget*, QString> labelled;
  for (const QLabel* label : root->findChildren<QLabel*>()) {
    if (label->buddy() != nullptr) labelled.insert(label->buddy(), spokenText(label->text()));
  }
  for (QWidget* widget : root->findChildren<QWidget*>()) {
    if (!isControl(widget)) continue;
    const QString tip = widget->toolTip();
    if (widget->accessibleName().isEmpty()) {
      QString name;
      if (const QWidget* box = enclosingBox(widget)) {
        name = box->accessibleName();
      } else if (labelled.contains(widget)) {
        name = labelled.value(widget);
      } else if (widget->objectName() == QStringLiteral("qt_toolbar_ext_button")) {
        // A tool bar's button for what does not fit.
        name = QCoreApplication::translate("quillet::ui::Accessibility", "More tools");
      } else if (ownText(widget).isEmpty()) {
        name = spokenText(tip);
      }
      // A button with a text of its own is read by that text as it changes ("Test", then
      // "Stop"): a fixed name would go stale.
      if (!name.isEmpty()) widget->setAccessibleName(name);
    }
    const QString name =
        widget->accessibleName().isEmpty() ? ownText(widget) : widget->accessibleName();
    if (widget->accessibleDescription().isEmpty() && !tip.isEmpty() && spokenText(tip) != name) {
      widget->setAccessibleDescription(tip);
    }
  }
}

}  // namespace quillet::ui
