// SPDX-License-Identifier: Apache-2.0
// The window's texts in the user's language: Quillet's own translation (built into the
// program) and Qt's for its standard buttons, chosen by LANGUAGE, LC_ALL, LC_MESSAGES, LANG.
#pragma once

#include <QLocale>
#include <QTranslator>

namespace quillet::ui {

class Translations {
 public:
  // Installs the translations for the locale into the running application; a language
  // without a translation keeps the English texts.
  explicit Translations(const QLocale& locale = QLocale());
  ~Translations();
  Translations(const Translations&) = delete;
  Translations& operator=(const Translations&) = delete;

  // True when Quillet's own translation for the locale was found.
  bool loaded() const { return loaded_; }

 private:
  QTranslator own_;
  QTranslator qt_;
  bool loaded_ = false;
  bool qtLoaded_ = false;
};

}  // namespace quillet::ui
