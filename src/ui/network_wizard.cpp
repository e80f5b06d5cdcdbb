// SPDX-License-Identifier: Apache-2.0
// The networking wizard's dialog, the thread that runs the test, and the hand-over of its
// status, progress and questions to the GUI thread.
#include "ui/network_wizard.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <condition_variable>
#include <mutex>

#include "app/network_test_host.h"
#include "base/settings_store.h"
#include "net/network_setup.h"
#include "platform/prompts.h"
#include "ui/accessibility.h"
#include "ui/qt_text.h"

namespace quillet::ui {

using platform::PromptAnswer;

// The test thread's questions, asked on the GUI thread. The thread waits for the answer
// or for the wizard closing (then the answer is None, which the test takes as cancel).
class NetworkWizard::GuiPrompts : public platform::Prompts {
 public:
  GuiPrompts(platform::Prompts& target, QObject* context)
      : target_(target), context_(context), state_(std::make_shared<State>()) {}

  PromptAnswer ask(const platform::Prompt& prompt) override {
    if (QThread::currentThread() == context_->thread()) return target_.ask(prompt);
    std::shared_ptr<State> state = state_;
    {
      std::lock_guard lock(state->mutex);
      if (state->closed) return PromptAnswer::None;
      state->answered = false;
    }
    QMetaObject::invokeMethod(
        context_,
        [state, prompt, &target = target_] {
          const PromptAnswer answer = target.ask(prompt);
          std::lock_guard lock(state->mutex);
          state->answer = answer;
          state->answered = true;
          state->changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return state->answered || state->closed; });
    return state->answered ? state->answer : PromptAnswer::None;
  }
  void inform(const platform::Prompt& prompt) override {
    QMetaObject::invokeMethod(
        context_, [prompt, &target = target_] { target.inform(prompt); }, Qt::QueuedConnection);
  }
  void dismissAll(PromptAnswer answer) override { target_.dismissAll(answer); }
  void dismiss(const std::string& tag, PromptAnswer answer) override {
    target_.dismiss(tag, answer);
  }
  int openCount() const override { return target_.openCount(); }

  // The wizard is going: a waiting question returns at once.
  void close() {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    state_->changed.notify_all();
  }

 private:
  // Shared with the queued question, which may outlive the wizard.
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
    bool answered = false;
    PromptAnswer answer = PromptAnswer::None;
  };
  platform::Prompts& target_;
  QObject* context_;
  std::shared_ptr<State> state_;
};

// The program's test host whose title, status and progress go to the dialog.
class NetworkWizard::Host : public app::AppNetworkTestHost {
 public:
  Host(NetworkWizard& wizard, base::SettingsStore& store, platform::Prompts& prompts,
       sip::SipTransport& transport)
      : AppNetworkTestHost(store, prompts, transport), wizard_(wizard) {}

  void setTitle(std::string_view text) override {
    post([w = &wizard_, t = toQString(text)] { w->showTitle(t); });
  }
  void setStatus(std::string_view text) override {
    post([w = &wizard_, t = toQString(text)] { w->showStatus(t); });
  }
  void setProgress(double fraction) override {
    post([w = &wizard_, fraction] { w->showProgress(fraction); });
  }

 private:
  template <typename F>
  void post(F call) {
    QMetaObject::invokeMethod(&wizard_, std::move(call), Qt::QueuedConnection);
  }
  NetworkWizard& wizard_;
};

NetworkWizard::NetworkWizard(QWidget* parent, base::SettingsStore& store,
                             platform::Prompts& prompts, sip::SipTransport& transport,
                             std::vector<std::string> stunServers)
    : QDialog(parent), store_(store) {
  setObjectName(QStringLiteral("networkWizard"));
  setWindowTitle(tr("Networking Setup Wizard"));
  prompts_ = std::make_unique<GuiPrompts>(prompts, this);
  host_ = std::make_unique<Host>(*this, store, *prompts_, transport);
  if (!stunServers.empty()) host_->setStunServers(std::move(stunServers));

  title_ = new QLabel(this);
  title_->setObjectName(QStringLiteral("control100"));
  QFont bold = title_->font();
  bold.setBold(true);
  title_->setFont(bold);
  status_ = new QLabel(tr("Starting..."), this);
  status_->setObjectName(QStringLiteral("control101"));
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("wizardProgress"));
  bar_->setRange(0, 100);
  bar_->setValue(0);
  setAccessible(bar_, tr("Progress"), tr("How far the tests have got"));
  steps_ = new QListWidget(this);
  steps_->setObjectName(QStringLiteral("wizardSteps"));
  steps_->setFocusPolicy(Qt::NoFocus);
  steps_->setSelectionMode(QAbstractItemView::NoSelection);
  setAccessible(steps_, tr("Steps"), tr("The network tests run so far and what each found"));
  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("wizardSummary"));
  summary_->setWordWrap(true);
  summary_->hide();
  auto* buttons = new QDialogButtonBox(this);
  button_ = buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole);
  button_->setObjectName(QStringLiteral("wizardButton"));
  connect(button_, &QPushButton::clicked, this, [this] {
    if (result_ == 0) {
      accept();
    } else {
      reject();
    }
  });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(title_);
  layout->addWidget(status_);
  layout->addWidget(bar_);
  layout->addWidget(steps_, 1);
  layout->addWidget(summary_);
  layout->addWidget(buttons);
  // Wide enough for the longest status at any scaling.
  setMinimumWidth(fontMetrics().averageCharWidth() * 64);
  nameControls(this);
  button_->setFocus();
}

NetworkWizard::~NetworkWizard() {
  // Posted updates need this object, so the thread ends before it goes.
  prompts_->close();
  host_->cancel();
  if (worker_.joinable()) worker_.join();
}

void NetworkWizard::start() {
  if (worker_.joinable() || result_ >= 0) return;
  running_ = true;
  worker_ = std::thread([this] {
    const int result = net::runNetworkingTest(*host_);
    QMetaObject::invokeMethod(
        this, [this, result] { finish(result); }, Qt::QueuedConnection);
  });
}

void NetworkWizard::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  start();
}

void NetworkWizard::reject() {
  if (!running_) {
    QDialog::reject();
    return;
  }
  // The test stops at its next wait; the dialog closes when it has.
  if (!cancelling_) {
    cancelling_ = true;
    host_->cancel();
    button_->setEnabled(false);
    showStatus(tr("Cancelling..."));
  }
}

void NetworkWizard::showTitle(const QString& text) {
  title_->setText(text);
}

void NetworkWizard::showStatus(const QString& text) {
  status_->setText(text);
  statuses_ << text;
  steps_->addItem(text);
  steps_->scrollToBottom();
}

void NetworkWizard::showProgress(double fraction) {
  fractions_.push_back(fraction);
  bar_->setValue(static_cast<int>(fraction * 100.0 + 0.5));
}

void NetworkWizard::finish(int result) {
  if (worker_.joinable()) worker_.join();
  running_ = false;
  result_ = result;
  emit testFinished(result);
  if (result != 0 || cancelling_) {
    // Cancelled, or stopped with a message box that said why.
    QDialog::reject();
    return;
  }
  bar_->setValue(100);
  showStatus(tr("SIP Network Tool finished"));
  summary_->setText(summary());
  summary_->show();
  button_->setText(tr("&Close"));
  button_->setEnabled(true);
  button_->setFocus();
}

QString NetworkWizard::summary() const {
  // In the order the address resolution tries them.
  QString how;
  if (store_.readBool("SIP", "STUN", false) && !store_.readBool("SIP", "Active", false)) {
    how = tr("STUN finds the public address (servers %1 and %2).")
              .arg(toQString(store_.readText("SIP", "STUNServer1")),
                   toQString(store_.readText("SIP", "STUNServer2")));
  } else if (store_.readBool("SIP", "UPNP", false)) {
    how = tr("A UPnP router forwards the ports to this computer.");
  } else if (store_.readBool("SIP", "Active", false)) {
    how = tr("The NAT or router is symmetric: set up the port forwarding at the router by hand.");
  } else {
    how = tr("This computer connects to the Internet directly.");
  }
  return how + tr("\nSIP port: %1 (UDP).").arg(store_.readInt("SIP", "Port", 5070));
}

}  // namespace quillet::ui
