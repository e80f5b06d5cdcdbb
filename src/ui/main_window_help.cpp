// SPDX-License-Identifier: Apache-2.0
// MainWindow's Help menu and desktop hand-offs: files and help opened with the desktop's
// opener, About, and the network wizard.
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>

#include "app/intercom_app.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "ui/qt_text.h"

#ifndef QUILLET_HELP_FILE
#define QUILLET_HELP_FILE ""
#endif
#ifndef QUILLET_SOURCE_HELP_FILE
#define QUILLET_SOURCE_HELP_FILE ""
#endif
#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0.0.0"
#endif

namespace quillet::ui {

QString MainWindow::openerProgram() {
  return QStringLiteral("xdg-open");
}

void MainWindow::openPath(const QString& path) {
  if (!QProcess::startDetached(openerProgram(), {path})) {
    base::logError("Cannot open ", toUtf8(path));
  }
}

void MainWindow::openHelp(int32_t id) {
  // Every help topic is a section of the README; the file opens at its start. A build
  // run from its tree has it in the sources.
  QString file = QStringLiteral(QUILLET_HELP_FILE);
  if (!QFileInfo::exists(file)) {
    file = QStringLiteral(QUILLET_SOURCE_HELP_FILE);
  }
  if (!QFileInfo::exists(file)) {
    file = QStringLiteral("https://quillet.example.org/help");
  }
  base::logInfo("Help topic ", static_cast<int64_t>(id));
  openPath(file);
}

void MainWindow::showAbout() {
  QMessageBox box(QMessageBox::Information, tr("About Quillet"),
                  tr("Quillet %1\n\nA hands-free SIP desk intercom and SIP telephone.\n"
                     "Press Intercom and speak: your first word reaches the far end.")
                      .arg(QStringLiteral(QUILLET_VERSION)),
                  QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("LAbout"));
  box.exec();
}

void MainWindow::networkWizard() {
  if (base::SettingsStore::global().readBool("SIP", "STATIC", false)) {
    prompts_.ask({QT_TRANSLATE_NOOP("app", "Error"),
                  QT_TRANSLATE_NOOP("app",
                                    "This wizard does not work if you have manually setup a STATIC "
                                    "IP or port mapping. Turn Static IP mapping off and run this "
                                    "again."),
                  platform::PromptButtons::Ok, platform::PromptIcon::Warning, "wizard-static"});
    if (app_ != nullptr) {
      app_->openOptions(app::kOptionsPageStaticIp);
    }
    return;
  }
  dialogs_->networkWizard(this);
}

}  // namespace quillet::ui
