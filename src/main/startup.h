// SPDX-License-Identifier: Apache-2.0
// Start-up of the quillet executable: argument list, profile folders, the single running
// instance (start-up lock and control socket hand-over), the loop and the orderly exit.
#pragma once

#include <functional>
#include <memory>

#include "base/application.h"

namespace quillet::main {

using ApplicationFactory =
    std::function<std::unique_ptr<base::Application>(base::AppEnvironment& environment)>;

// The loop and prompts of a run with a window, made by the window's toolkit.
class Toolkit {
 public:
  virtual ~Toolkit() = default;
  virtual platform::MessageLoop& loop() = 0;
  virtual platform::Prompts& prompts() = 0;
};
// Makes the toolkit of a windowed run; null when there is no display to open.
using ToolkitFactory = std::function<std::unique_ptr<Toolkit>(int& argc, char** argv)>;

// Runs the program; answers the process exit code. Without a toolkit factory (a build
// without the window) every run is headless.
int runQuillet(int argc, char** argv, const ApplicationFactory& factory,
               const ToolkitFactory& toolkit = {});

}  // namespace quillet::main
