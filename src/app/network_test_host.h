// SPDX-License-Identifier: Apache-2.0
// The networking test inside the running program: the profile's settings, the program's
// message boxes, and the one SIP transport, stopped for the test and started again after.
#pragma once

#include <string>
#include <vector>

#include "net/network_setup.h"
#include "platform/event.h"
#include "sip/sip_transport.h"

namespace quillet::app {

class AppNetworkTestHost : public net::NetworkTestHost {
 public:
  AppNetworkTestHost(base::SettingsStore& store, platform::Prompts& prompts,
                     sip::SipTransport& transport)
      : store_(store), prompts_(prompts), transport_(transport) {}

  base::SettingsStore& settings() override { return store_; }
  platform::Prompts& prompts() override { return prompts_; }
  bool transportRunning() override { return transport_.running(); }
  void stopTransport() override { transport_.shutdown(); }
  void restartTransport() override { transport_.restart(); }
  platform::Event* cancelEvent() override { return &cancel_; }
  std::vector<std::string> stunServers() override {
    return servers_.empty() ? net::NetworkTestHost::stunServers() : servers_;
  }

  // The dialog closing: every wait of the test ends.
  void cancel() { cancel_.set(); }
  // Other servers than the built-in ones (tests).
  void setStunServers(std::vector<std::string> servers) { servers_ = std::move(servers); }

 private:
  base::SettingsStore& store_;
  platform::Prompts& prompts_;
  sip::SipTransport& transport_;
  platform::Event cancel_{platform::Event::Reset::Manual};
  std::vector<std::string> servers_;
};

}  // namespace quillet::app
