// The quillet executable: start-up with the application plugged in.
#include "main/headless_shell.h"
#include "main/startup.h"

int main(int argc, char** argv) {
  return quillet::main::runQuillet(argc, argv, [](quillet::base::AppEnvironment& environment) {
    // The intercom application takes this place once it exists.
    return std::make_unique<quillet::main::HeadlessShell>(environment);
  });
}
