// SPDX-License-Identifier: Apache-2.0
// The networking test: probes the network once (firewall, STUN servers and NAT filtering,
// UPnP gateway) and writes the settings the public address resolution then follows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/settings_store.h"
#include "platform/event.h"
#include "platform/prompts.h"
#include "platform/socket.h"

namespace quillet::net {

// What the test needs of the program around it: the settings, message boxes, the progress
// display, the SIP transport thread, and the event that cancels it (the dialog closing).
class NetworkTestHost {
 public:
  virtual ~NetworkTestHost() = default;
  virtual base::SettingsStore& settings() = 0;
  virtual platform::Prompts& prompts() = 0;
  virtual void setTitle(std::string_view /*text*/) {}
  virtual void setStatus(std::string_view /*text*/) {}
  virtual void setProgress(double /*fraction*/) {}
  virtual bool transportRunning() { return false; }
  virtual void stopTransport() {}
  virtual void restartTransport() {}
  virtual platform::Event* cancelEvent() { return nullptr; }
  // The STUN servers to choose from (the built-in list).
  virtual std::vector<std::string> stunServers();
};

// 0 finished, 1 cancelled, 2 stopped with an error.
int runNetworkingTest(NetworkTestHost& host);

// Times a binding with each server, keeps the two fastest, runs the change test with the
// fastest that can answer one (none: the NAT's filtering is not judged) and stores
// "STUN", "Active", "STUNServer1" and "STUNServer2". Done, Cancelled, or Failed when STUN
// cannot work here.
platform::NetResult chooseStunServers(NetworkTestHost& host, int socket);

}  // namespace quillet::net
