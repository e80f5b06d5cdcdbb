// SPDX-License-Identifier: Apache-2.0
// UTF-8 text of the application to and from Qt strings.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <string>
#include <string_view>

namespace quillet::ui {

inline QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string toUtf8(const QString& text) {
  return text.toUtf8().toStdString();
}

// A text the app layer hands to the window (marked with QUILLET_UI_TEXT or, in the window's
// own prompts, QT_TRANSLATE_NOOP under "app"), in the user's language where a translation
// has it; any other text (names, addresses) is shown as it is.
inline QString appText(std::string_view text) {
  const std::string source(text);
  return QCoreApplication::translate("app", source.c_str());
}

}  // namespace quillet::ui
