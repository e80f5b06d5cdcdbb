// SPDX-License-Identifier: Apache-2.0
// Loading the translations of the window for the user's language.
#include "ui/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace quillet::ui {

Translations::Translations(const QLocale& locale) {
  // The .qm files are built into the program as resources under :/i18n.
  loaded_ =
      own_.load(locale, QStringLiteral("quillet"), QStringLiteral("_"), QStringLiteral(":/i18n"));
  if (loaded_) {
    QCoreApplication::installTranslator(&own_);
  }
  qtLoaded_ = qt_.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  if (qtLoaded_) {
    QCoreApplication::installTranslator(&qt_);
  }
}

Translations::~Translations() {
  if (loaded_) {
    QCoreApplication::removeTranslator(&own_);
  }
  if (qtLoaded_) {
    QCoreApplication::removeTranslator(&qt_);
  }
}

}  // namespace quillet::ui
