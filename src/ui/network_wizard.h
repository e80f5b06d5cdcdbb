// SPDX-License-Identifier: Apache-2.0
// The networking wizard: runs the networking test on a thread of its own, so the window
// stays live, and shows its title, status lines and progress; the test's questions reach
// the user as message boxes on the GUI thread. Closing the wizard cancels the test.
#pragma once

#include <QDialog>
#include <QStringList>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace quillet::base {
class SettingsStore;
}
namespace quillet::platform {
class Prompts;
}
namespace quillet::sip {
class SipTransport;
}

namespace quillet::ui {

class NetworkWizard : public QDialog {
  Q_OBJECT
 public:
  // `stunServers` empty: the built-in servers.
  NetworkWizard(QWidget* parent, base::SettingsStore& store, platform::Prompts& prompts,
                sip::SipTransport& transport, std::vector<std::string> stunServers = {});
  ~NetworkWizard() override;

  // Starts the test (once); the dialog shows it as it runs.
  void start();
  bool running() const { return running_; }
  // The test's answer: -1 while it runs or before it started, then 0 finished,
  // 1 cancelled, 2 stopped with an error.
  int testResult() const { return result_; }
  // Every status text shown, in order.
  const QStringList& statuses() const { return statuses_; }
  // Every progress fraction reported, in order.
  const std::vector<double>& progress() const { return fractions_; }

  void reject() override;

 signals:
  void testFinished(int result);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  class Host;
  class GuiPrompts;
  void showTitle(const QString& text);
  void showStatus(const QString& text);
  void showProgress(double fraction);
  void finish(int result);
  QString summary() const;

  base::SettingsStore& store_;
  std::unique_ptr<GuiPrompts> prompts_;
  std::unique_ptr<Host> host_;
  std::thread worker_;
  std::atomic<bool> running_{false};
  bool cancelling_ = false;
  int result_ = -1;
  QStringList statuses_;
  std::vector<double> fractions_;

  QLabel* title_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QListWidget* steps_ = nullptr;
  QLabel* summary_ = nullptr;
  QPushButton* button_ = nullptr;
};

}  // namespace quillet::ui
