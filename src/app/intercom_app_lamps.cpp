// SPDX-License-Identifier: Apache-2.0
// IntercomApp: the lamps. Watchers on the intercom allow list may subscribe to this line's
// dialog state (whatever Intercom/AllowAll says: the list names who may see it), and this
// side subscribes to the line of every contact with a SIP address: directly to the
// contact's address without a server, through the line's (outbound) server with one.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/allow_list.h"
#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "base/log.h"
#include "sip/sip_uri.h"

namespace quillet::app {

namespace {

// The URI a contact's line is watched at; empty for a number that needs a server the line
// does not have.
std::string contactLineUri(const std::string& number, const std::string& server) {
  if (number.empty()) return {};
  const std::string uri = sip::parseNameAddr(sip::dialToNameAddr(number, server)).uri;
  return uri.empty() || uri.back() == '@' ? std::string() : sip::stripParameters(uri);
}

ContactLamp lampOf(sip::LineState state) {
  switch (state) {
    case sip::LineState::Idle:
      return ContactLamp::Free;
    case sip::LineState::Ringing:
      return ContactLamp::Ringing;
    case sip::LineState::Busy:
      return ContactLamp::Busy;
    case sip::LineState::DoNotDisturb:
      return ContactLamp::DoNotDisturb;
  }
  return ContactLamp::Unknown;
}

}  // namespace

void IntercomApp::refreshLamps() {
  if (transport_ == nullptr) return;
  // The transport thread asks; it gets a copy of the list as it is now.
  auto items = std::make_shared<const std::vector<std::string>>(readAllowList(settings()));
  transport_->notifier().setAllowCheck(
      [items](std::string_view from) { return allowListHolds(*items, from); });
  watchContactLines();
  showLamps();
}

void IntercomApp::watchContactLines() {
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  std::vector<sip::MailboxConfig> wanted;
  if (engine != nullptr && !engine->line().userName.empty()) {
    const sip::RegistrationConfig line = engine->registrationConfig();
    for (const contacts::Contact& contact : contacts::readContacts(*contacts_)) {
      sip::MailboxConfig config{line, contactLineUri(contact.number, line.server), "dialog"};
      if (config.mailbox.empty()) continue;
      if (config.line.outboundServer.empty()) {
        const sip::HostPort hop = sip::nextHop(config.mailbox);
        config.line.outboundServer =
            line.server.empty() ? hop.host + ":" + std::to_string(hop.port) : line.server;
      }
      const bool listed = std::any_of(wanted.begin(), wanted.end(),
                                      [&](const auto& w) { return w.sameAs(config); });
      if (!listed) wanted.push_back(std::move(config));
    }
  }
  auto holds = [](const std::vector<sip::MailboxConfig>& list, const sip::MailboxConfig& c) {
    return std::any_of(list.begin(), list.end(), [&](const auto& w) { return w.sameAs(c); });
  };
  for (const sip::MailboxConfig& old : lampsWatched_) {
    if (holds(wanted, old)) continue;
    transport_->removeMailbox(old);
    lamps_.erase(old.mailbox);
  }
  for (const sip::MailboxConfig& config : wanted)
    if (!holds(lampsWatched_, config)) transport_->addMailbox(config);
  lampsWatched_ = std::move(wanted);
  transport_->setLampHandler([this, alive = std::weak_ptr<int>(alive_)](
                                 const std::string& uri, std::optional<sip::LineState> state) {
    env_.loop.post([this, alive, uri, state] {
      if (!alive.expired()) showLamp(uri, state);
    });
  });
}

void IntercomApp::showLamp(const std::string& uri, std::optional<sip::LineState> state) {
  const bool watched = std::any_of(lampsWatched_.begin(), lampsWatched_.end(),
                                   [&](const auto& w) { return w.mailbox == uri; });
  if (!watched) return;
  if (state) {
    lamps_[uri] = *state;
  } else {
    lamps_.erase(uri);
  }
  std::string name = uri;
  const std::string server = lampsWatched_.front().line.server;
  for (const contacts::Contact& contact : contacts::readContacts(*contacts_))
    if (contactLineUri(contact.number, server) == uri) name = contact.name;
  base::logInfo("Contact " + name + " is " +
                (state ? std::string(sip::lineStateName(*state)) : std::string("unknown")));
  showLamps();
}

void IntercomApp::showLamps() {
  const std::string server =
      lampsWatched_.empty() ? std::string() : lampsWatched_.front().line.server;
  std::vector<ContactLamp> shown;
  for (size_t row = 0; row < rows_.size(); ++row) {
    const auto lamp = lamps_.find(contactLineUri(rowNumber(row), server));
    shown.push_back(lamp == lamps_.end() ? ContactLamp::Unknown : lampOf(lamp->second));
  }
  window_->setContactLamps(shown);
}

}  // namespace quillet::app
