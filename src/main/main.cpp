// SPDX-License-Identifier: Apache-2.0
// The quillet executable: start-up with the intercom application plugged in, in its
// window when the build has one and a display answers, else headless.
#include "app/intercom_app.h"
#include "main/startup.h"

#ifdef QUILLET_WITH_WINDOW
#include "base/settings_store.h"
#include "ui/main_window.h"
#include "ui/qt_dialogs.h"
#include "ui/qt_session.h"
#endif

namespace {

using quillet::base::AppEnvironment;
using quillet::base::Application;

#ifdef QUILLET_WITH_WINDOW
class QtToolkit : public quillet::main::Toolkit {
 public:
  explicit QtToolkit(std::unique_ptr<quillet::ui::QtSession> session)
      : session_(std::move(session)) {}
  quillet::platform::MessageLoop& loop() override { return session_->loop(); }
  quillet::platform::Prompts& prompts() override { return session_->prompts(); }
  quillet::ui::QtSession& session() { return *session_; }

 private:
  std::unique_ptr<quillet::ui::QtSession> session_;
};

QtToolkit* gToolkit = nullptr;

std::unique_ptr<Application> windowedApp(AppEnvironment& environment) {
  auto window = std::make_unique<quillet::ui::MainWindow>(
      environment.paths, environment.prompts,
      quillet::ui::qtDialogs(quillet::base::SettingsStore::global(), environment.prompts));
  quillet::ui::MainWindow* raw = window.get();
  gToolkit->session().prompts().setParent(raw);
  auto app = std::make_unique<quillet::app::IntercomApp>(environment, std::move(window));
  raw->attach(app.get());
  return app;
}
#endif

std::unique_ptr<Application> headlessApp(AppEnvironment& environment) {
  return std::make_unique<quillet::app::IntercomApp>(
      environment, std::make_unique<quillet::app::HeadlessWindow>());
}

}  // namespace

int main(int argc, char** argv) {
#ifdef QUILLET_WITH_WINDOW
  return quillet::main::runQuillet(
      argc, argv,
      [](AppEnvironment& environment) {
        return environment.headless ? headlessApp(environment) : windowedApp(environment);
      },
      [](int& count, char** values) -> std::unique_ptr<quillet::main::Toolkit> {
        auto session = quillet::ui::QtSession::open(count, values);
        if (!session) {
          return nullptr;
        }
        auto toolkit = std::make_unique<QtToolkit>(std::move(session));
        gToolkit = toolkit.get();
        return toolkit;
      });
#else
  return quillet::main::runQuillet(argc, argv, headlessApp);
#endif
}
