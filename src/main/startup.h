// Start-up of the quillet executable: argument list, profile folders, the single running
// instance (start-up lock and control socket hand-over), the loop and the orderly exit.
#pragma once

#include <functional>
#include <memory>

#include "base/application.h"

namespace quillet::main {

using ApplicationFactory =
    std::function<std::unique_ptr<base::Application>(base::AppEnvironment& environment)>;

// Runs the program; answers the process exit code.
int runQuillet(int argc, char** argv, const ApplicationFactory& factory);

}  // namespace quillet::main
