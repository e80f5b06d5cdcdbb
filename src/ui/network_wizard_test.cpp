// SPDX-License-Identifier: Apache-2.0
// The networking wizard from the window's command: it runs off the GUI thread (a timer
// there keeps firing), asks about a blocked port, Escape cancels it and the SIP engine
// runs again; inside the NAT namespace lab (tests/net/nat_wizard.py) it shows the
// messages and stores the settings for the network it finds.
#include "ui/network_wizard.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include "base/net_facts.h"
#include "base/settings_store.h"
#include "platform/socket.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

struct WizardRun {
  int result = -1;
  QStringList statuses;
  std::vector<double> progress;
  QString summary;
  int ticksWhileRunning = 0;  // GUI-thread timer ticks with the test running and no box open
  std::vector<SeenBox> boxes;
};

class NetworkWizardTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    realDialogs_ = true;
    addContact("Bob", "sip:bob@127.0.0.1:2");  // the start-up checks open no dialog
  }

  // Runs the wizard through the window's command. `onBox` answers each question box (the
  // default leaves it to answerBoxes); `onTick` runs on every tick while no box is open.
  // With `picture` a screenshot of the finished wizard is taken under that name.
  WizardRun runWizard(const std::string& picture = {},
                      std::function<void(QMessageBox*, WizardRun&)> onBox = {},
                      std::function<void(NetworkWizard*, WizardRun&)> onTick = {}) {
    WizardRun run;
    QPointer<NetworkWizard> watched;
    const auto capture = [&run](NetworkWizard* wizard) {
      run.result = wizard->testResult();
      run.statuses = wizard->statuses();
      run.progress = wizard->progress();
      run.summary = wizard->findChild<QLabel*>(QStringLiteral("wizardSummary"))->text();
    };
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      auto* wizard = window_->findChild<NetworkWizard*>();
      if (wizard == nullptr) return;
      if (watched != wizard) {
        watched = wizard;  // the last look, as the test ends
        QObject::connect(wizard, &NetworkWizard::testFinished, wizard,
                         [&capture, wizard] { capture(wizard); });
      }
      capture(wizard);
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        if (onBox) {
          run.boxes.push_back({box->windowTitle(), box->text()});
          onBox(box, run);
        }
        return;
      }
      if (wizard->running()) {
        ++run.ticksWhileRunning;
        if (onTick) onTick(wizard, run);
      } else if (run.result == 0) {
        if (!picture.empty()) shot(wizard, picture);
        wizard->findChild<QPushButton*>(QStringLiteral("wizardButton"))->click();  // Close
      }
    });
    timer.start(10);
    window_->runCommand(kCommandNetworkWizard);
    return run;
  }
};

// No STUN server answers: the wizard asks about the first RTP port; Yes checks again, No
// goes on to the SIP port, Escape on the wizard cancels it there. The GUI thread kept
// running throughout, and the engine runs again afterwards.
TEST_F(NetworkWizardTest, RunsOffTheGuiThreadAsksAboutABlockedPortAndEscapeCancels) {
  if (!base::internetConnected()) GTEST_SKIP() << "no network interface is up";
  platform::UniqueFd silent;
  ASSERT_TRUE(platform::bindUdp(silent, 0, platform::ipv4(127, 0, 0, 1)));
  wizardStunServers_ = {"127.0.0.1:" + std::to_string(platform::localEndpoint(silent.get()).port)};
  const int32_t rtpBase = freeUdpPort();
  base::SettingsStore::global().writeInt("SIP", "RTPPortBase", rtpBase);
  start();
  ASSERT_TRUE(app_->transport().waitReady(5000));

  bool escaped = false;
  const WizardRun run = runWizard(
      {},
      [](QMessageBox* box, WizardRun& seen) {
        box->button(seen.boxes.size() == 1 ? QMessageBox::Yes : QMessageBox::No)->click();
      },
      [&](NetworkWizard* wizard, WizardRun& seen) {
        if (seen.boxes.size() == 2 && !escaped) {
          escaped = true;
          shot(wizard, "network-wizard-running.png");
          QTest::keyClick(wizard, Qt::Key_Escape);
        }
      });

  EXPECT_EQ(run.result, 1);
  const QString blocked = QStringLiteral(
                              "Your handheld seems to be blocking UDP port %1 (or internet "
                              "connection is down).\r\nPlease check you are connected to the "
                              "network then click Yes to try again.")
                              .arg(rtpBase);
  ASSERT_EQ(run.boxes.size(), 2u);
  EXPECT_EQ(run.boxes[1].title, "Firewall Blocking Ports");
  EXPECT_EQ(run.boxes[1].text, blocked);
  EXPECT_EQ(run.statuses,
            QStringList({"Checking Internet is Connected...", "Stopping SIP Engine",
                         "Opening Internet Ports", "Cancelling...", "Restarting SIP Engine"}));
  EXPECT_EQ(run.progress, (std::vector<double>{0.05, 0.1}));
  EXPECT_GT(run.ticksWhileRunning, 3);
  EXPECT_EQ(window_->findChild<NetworkWizard*>(), nullptr);  // closed itself
  EXPECT_TRUE(logHas("Running SIP Network Tool"));
  EXPECT_TRUE(app_->transport().waitReady(5000));
  EXPECT_TRUE(app_->transport().running());
  stop();
}

// Inside the lab: QUILLET_NAT_LAB names what the network is ("upnp": a symmetric NAT with
// a UPnP router, "symmetric": the same without UPnP, "stun": a NAT that STUN gets through,
// "direct": a public address), QUILLET_NAT_LAB_STUN the lab's STUN server.
TEST_F(NetworkWizardTest, InTheNatLabShowsWhatItFoundAndStoresIt) {
  const char* lab = std::getenv("QUILLET_NAT_LAB");
  const char* server = std::getenv("QUILLET_NAT_LAB_STUN");
  if (lab == nullptr || server == nullptr) GTEST_SKIP() << "run by tests/net/nat_wizard.py";
  const std::string network = lab;
  wizardStunServers_ = {server};
  auto& store = base::SettingsStore::global();
  store.deleteValue("SIP", "LocalAddress");
  store.writeBool("SIP", "STUN", true);
  store.writeBool("SIP", "UPNP", network != "upnp");  // each is set or cleared by the test
  store.writeBool("SIP", "Active", network == "stun");
  start();
  answerBoxes(QMessageBox::Ok);
  const WizardRun run = runWizard("network-wizard-" + network + ".png");
  stopAnswering();

  EXPECT_EQ(run.result, 0);
  ASSERT_GE(run.statuses.size(), 4);
  EXPECT_EQ(run.statuses.mid(0, 3), QStringList({"Checking Internet is Connected...",
                                                 "Stopping SIP Engine", "Opening Internet Ports"}));
  EXPECT_EQ(run.statuses.mid(run.statuses.size() - 2),
            QStringList({"Restarting SIP Engine", "SIP Network Tool finished"}));
  const int32_t port = store.readInt("SIP", "Port", 0);
  EXPECT_TRUE(logHas("Sip Port " + std::to_string(port) + " (UDP) opened OK")) << logText();
  EXPECT_TRUE(run.summary.endsWith(QStringLiteral("SIP port: %1 (UDP).").arg(port)))
      << run.summary.toStdString();
  const std::vector<bool> stunUpnpActive = {store.readBool("SIP", "STUN", false),
                                            store.readBool("SIP", "UPNP", false),
                                            store.readBool("SIP", "Active", false)};
  const bool behindNat = network != "direct";
  EXPECT_EQ(run.statuses.contains("Checking with STUN"), behindNat);
  EXPECT_EQ(run.statuses.contains("Checking for a UPnP NAT"),
            network == "upnp" || network == "symmetric");
  if (network == "upnp") {
    EXPECT_EQ(run.progress, (std::vector<double>{0.05, 0.1, 0.3, 0.6}));
    EXPECT_TRUE(logHas("NAT is symmetric so STUN will not work.")) << logText();
    EXPECT_TRUE(logHas("UPnP NAT or router found")) << logText();
    EXPECT_EQ(stunUpnpActive, (std::vector<bool>{false, true, false}));
    EXPECT_TRUE(run.summary.startsWith("A UPnP router forwards the ports"));
  } else if (network == "symmetric") {
    EXPECT_TRUE(logHas("No UPnP NAT or router found")) << logText();
    EXPECT_TRUE(sawBox("Manual Router Setup Required",
                       "A 'symmetric' NAT or router has been detected between this computer "
                       "and the internet. This means audio cannot be routed to this computer "
                       "automatically. You (or your Network Administrator) are strongly advised "
                       "to manually setup RTP/UDP redirection at the router or NAT otherwise "
                       "audio may be delayed, low quality or broken. See the manual topic "
                       "\"Networking\" for more."));
    EXPECT_EQ(stunUpnpActive, (std::vector<bool>{false, false, true}));
    EXPECT_TRUE(run.summary.startsWith("The NAT or router is symmetric"));
  } else if (network == "stun") {
    EXPECT_EQ(run.progress, (std::vector<double>{0.05, 0.1, 0.3}));
    EXPECT_EQ(stunUpnpActive, (std::vector<bool>{true, true, false}));  // UPnP left as it was
    EXPECT_EQ(store.readText("SIP", "STUNServer1"), server);
    EXPECT_TRUE(run.summary.startsWith("STUN finds the public address"));
  } else {
    EXPECT_TRUE(logHas("This computer connects to Internet directly")) << logText();
    EXPECT_EQ(stunUpnpActive, (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(run.summary.startsWith("This computer connects to the Internet directly"));
  }
  EXPECT_TRUE(app_->transport().waitReady(5000));
  EXPECT_TRUE(app_->transport().running());
  stop();
}

}  // namespace
}  // namespace quillet::ui::testing
