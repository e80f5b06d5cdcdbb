// SPDX-License-Identifier: Apache-2.0
// UTF-8 text of the application to and from Qt strings.
#pragma once

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

}  // namespace quillet::ui
