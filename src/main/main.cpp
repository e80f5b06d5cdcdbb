// The quillet executable: start-up with the intercom application plugged in.
#include "app/intercom_app.h"
#include "main/startup.h"

int main(int argc, char** argv) {
  return quillet::main::runQuillet(argc, argv, [](quillet::base::AppEnvironment& environment) {
    return std::make_unique<quillet::app::IntercomApp>(
        environment, std::make_unique<quillet::app::HeadlessWindow>());
  });
}
