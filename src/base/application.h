// SPDX-License-Identifier: Apache-2.0
// What the quillet executable runs once it is the profile's running instance: the
// application, created by the executable's start-up and driven on the GUI thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/paths.h"
#include "platform/prompts.h"

namespace quillet::base {

struct AppEnvironment {
  platform::MessageLoop& loop;
  platform::Prompts& prompts;
  bool headless = true;
  std::vector<std::string> arguments;  // this start's arguments; element 0: executable path
  platform::ProfilePaths paths;
};

class Application {
 public:
  virtual ~Application() = default;

  // Runs on the GUI thread while the start-up lock is held. Answers false when the
  // application cannot run (its window could not be created): the program then ends
  // with exit code 0.
  virtual bool initialise() = 0;
  // An argument list to apply (element 0: executable path): first this start's own, right
  // after initialise(), then each list a later start hands over. A list without options
  // asks the application to show itself.
  virtual void applyArguments(const std::vector<std::string>& arguments) = 0;
  // A call command sent over the control socket (quillet-tool call ...): the words, e.g.
  // {"transfer", "sip:bob@example.com"}. Answers an empty text when the command was taken,
  // else the reason it was not, for the sender to show.
  virtual std::string callCommand(const std::vector<std::string>& /*words*/) {
    return "this program takes no call commands";
  }
  // A question over the control socket (quillet-tool call stats): answers the reply's data,
  // or none when the words are no question (they go to callCommand).
  virtual std::optional<std::string> callQuery(const std::vector<std::string>& /*words*/) {
    return std::nullopt;
  }
  // Closes the program the way its Exit command does (SIGTERM, SIGINT): ends every level
  // of the loop with loop.quitAll(0) and shuts down once no level runs any more (at once
  // when none runs, else when the application is destroyed after the outermost run has
  // returned). May be called more than once.
  virtual void requestClose() = 0;
};

}  // namespace quillet::base
