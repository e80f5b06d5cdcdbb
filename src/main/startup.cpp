// SPDX-License-Identifier: Apache-2.0
// Start-up in the program's order: argument list, profile folders and log, start-up lock,
// hand-over to a running instance, the application, the loop, the orderly exit.
#include "main/startup.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "app/arguments.h"
#include "base/command_line.h"
#include "base/log.h"
#include "base/worker_thread.h"
#include "main/headless_shell.h"
#include "platform/control_socket.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0.0.0"
#endif

namespace quillet::main {

namespace {

constexpr int32_t kHandOverTimeoutMs = 5000;
// How long a start with -exit waits for the running instance to end: as long as systemd
// gives a service to stop (it ends its call and un-registers first).
constexpr uint32_t kExitWaitMs = 20000;

void printHelp(bool windowed) {
  std::printf(
      "Usage: quillet [--headless] [OPTIONS]\n"
      "  or:  quillet --help | --version\n"
      "\n"
      "Quillet, a hands-free SIP desk intercom and SIP telephone.\n"
      "%s"
      "\n"
      "Options (also handed to an instance that already runs on the same profile):\n"
      "  -dial ADDRESS   call or answer ADDRESS (a number, SIP address or callto: URL)\n"
      "  -call ADDRESS   phone-call ADDRESS: it rings there until answered\n"
      "  -answer         call or answer the selected contact\n"
      "  -hangup         hang up the established call (or a phone call still ringing)\n"
      "  -hold, -resume  put the established call on hold, or take it off hold\n"
      "  -dtmf DIGITS    send DIGITS in the established call\n"
      "  -page GROUP     page GROUP from the microphone (A.B.C.D:PORT, channel:N[@A.B.C.D:PORT]\n"
      "                  or a Paging/ListenN label); -page off ends the page\n"
      "  -stoplistening  stop listening to the page that plays (until it ends)\n"
      "  -show, -hide    show or hide the window (-logon is -hide)\n"
      "  -exit           end the running program, waiting (up to 20 s) until it has ended\n"
      "  sip:..., tel:..., callto:...  call that link (as a desktop's link handler does)\n"
      "\n"
      "Files: QUILLET_HOME=DIR keeps settings.ini, contacts.ini, Logs/ and the instance\n"
      "lock and control socket in DIR; otherwise the XDG folders are used.\n"
      "SIGTERM and SIGINT close the program like its Exit command (exit code 0).\n",
      windowed ? "quillet shows its window; quillet --headless runs with no window (log lines\n"
                 "also on standard error, questions answered by policy).\n"
               : "This build has no window: quillet always runs as quillet --headless does\n"
                 "(no window, log lines also on standard error, questions answered by policy).\n");
}

// Options of the executable itself; the rest belongs to the application.
enum class OwnOptions { Run, Help, Version, Bad };

OwnOptions takeOwnOptions(std::vector<std::string>& arguments, bool& headless) {
  std::vector<std::string> kept;
  kept.push_back(arguments.front());
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help") {
      return OwnOptions::Help;
    }
    if (argument == "--version") {
      return OwnOptions::Version;
    }
    if (argument == "--headless") {
      headless = true;
      continue;
    }
    if (argument.rfind("--", 0) == 0 && argument.size() > 2) {
      std::fprintf(stderr, "quillet: unknown option '%s' (try --help)\n", argument.c_str());
      return OwnOptions::Bad;
    }
    kept.push_back(argument);
  }
  arguments = std::move(kept);
  return OwnOptions::Run;
}

// One message of the control socket: a later start's arguments or a call command. Answers
// the reply line.
std::string controlMessage(base::Application& app, const std::string& executable,
                           std::string_view text) {
  std::vector<std::string> words;
  if (base::isCallMessage(text)) {
    if (!base::decodeCallMessage(text, words)) {
      base::logError("Refused a malformed call command on the control socket");
      return "ERR malformed call command";
    }
    if (const std::optional<std::string> answer = app.callQuery(words)) {
      return "OK " + *answer;
    }
    const std::string refusal = app.callCommand(words);
    return refusal.empty() ? "OK" : "ERR " + refusal;
  }
  if (!base::decodeArgumentMessage(text, executable, words)) {
    base::logError("Refused a malformed message on the control socket");
    return "ERR malformed message";
  }
  app.applyArguments(words);
  return "OK";
}

bool asksToExit(const std::vector<std::string>& arguments) {
  const app::ArgumentPlan plan = app::planArguments(arguments);
  return std::any_of(plan.steps.begin(), plan.steps.end(), [](const app::ArgumentStep& step) {
    return step.action == app::ArgumentAction::Exit;
  });
}

// After the running instance took -exit: it holds its running lock until it has ended.
int awaitExit(const platform::ProfilePaths& paths) {
  if (platform::InstanceLock::waitUntilFree(paths.runningLockFile(), kExitWaitMs)) {
    return 0;
  }
  std::fprintf(stderr,
               "quillet: the running instance was asked to exit but still runs after %u s\n",
               kExitWaitMs / 1000);
  return 1;
}

}  // namespace

int runQuillet(int argc, char** argv, const ApplicationFactory& factory,
               const ToolkitFactory& toolkitFactory) {
  // The executable path first, then the arguments (the system has split them already;
  // lists arriving as one text line are split by base::splitCommandLine).
  std::vector<std::string> arguments;
  std::string executable = platform::executablePath();
  arguments.push_back(executable.empty() && argc > 0 ? std::string(argv[0]) : executable);
  for (int i = 1; i < argc; ++i) {
    arguments.emplace_back(argv[i]);
  }
  bool headless = !toolkitFactory;
  switch (takeOwnOptions(arguments, headless)) {
    case OwnOptions::Help:
      printHelp(static_cast<bool>(toolkitFactory));
      return 0;
    case OwnOptions::Version:
      std::printf("quillet %s\n", QUILLET_VERSION);
      return 0;
    case OwnOptions::Bad:
      return 2;
    case OwnOptions::Run:
      break;
  }

  // Closing signals are taken through the loop; block them before any thread exists so
  // that every thread inherits the mask.
  sigset_t closing;
  sigemptyset(&closing);
  sigaddset(&closing, SIGTERM);
  sigaddset(&closing, SIGINT);
  sigaddset(&closing, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &closing, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // Profile folders and the log exist before anything else runs.
  platform::ProfilePaths paths = platform::profilePaths();
  platform::makeDirs(paths.dataDir, 0700);
  platform::makeDirs(paths.logsDir(), 0700);
  platform::makeDirs(paths.runtimeDir, 0700);
  base::LogWriter::instance().setFolder(paths.logsDir());
  base::LogWriter::instance().setEchoToStderr(headless);

  // Single instance: the start-up lock serialises starting instances; a running one
  // answers on the control socket and takes this start's arguments.
  platform::InstanceLock startupLock;
  startupLock.acquire(paths.lockFile(), platform::kStartupLockBudgetMs);  // best effort
  std::string message = base::encodeArgumentMessage(arguments);
  std::string reply;
  switch (platform::exchange(paths.controlSocket(), message, kHandOverTimeoutMs, reply)) {
    case platform::HandOverResult::Delivered:
      if (!asksToExit(arguments)) {
        return 0;
      }
      startupLock.release();  // later starts need not wait for the end
      return awaitExit(paths);
    case platform::HandOverResult::Failed:
      // The options were not carried out (a refusing instance, e.g. another user's).
      if (reply.rfind("ERR ", 0) == 0) {
        std::fprintf(stderr, "quillet: the running instance refused: %s\n", reply.c_str() + 4);
      } else {
        std::fprintf(stderr, "quillet: an instance runs on this profile but did not answer\n");
      }
      return 1;
    case platform::HandOverResult::NoInstance:
      break;
  }
  // Held until this instance has ended (it goes last of everything below). An instance that
  // is still ending holds it: this start waits for that, within the start-up budget.
  platform::InstanceLock running;
  if (!running.acquire(paths.runningLockFile(), platform::kStartupLockBudgetMs)) {
    base::logError("An ending instance still holds its lock; starting anyway: ",
                   paths.runningLockFile());
  }

  std::unique_ptr<Toolkit> toolkit;
  if (!headless) {
    toolkit = toolkitFactory(argc, argv);
    if (!toolkit) {
      std::fprintf(stderr, "quillet: no display to show the window on; running headless\n");
      headless = true;
      base::LogWriter::instance().setEchoToStderr(true);
    }
  }
  platform::PlainMessageLoop plainLoop;
  platform::PlainPrompts plainPrompts(plainLoop, headlessPolicy, logInformingPrompt);
  platform::MessageLoop& loop = toolkit ? toolkit->loop() : plainLoop;
  platform::Prompts& prompts = toolkit ? toolkit->prompts() : plainPrompts;
  platform::setGuiLoop(&loop);
  platform::ControlServer control;
  if (!control.listen(paths.controlSocket())) {
    base::logError("Cannot listen on the control socket: ", std::strerror(errno));
  }

  base::AppEnvironment environment{loop, prompts, headless, arguments, paths};
  std::unique_ptr<base::Application> app = factory(environment);
  if (!app) {
    return 0;  // no window could be made: the start ends quietly
  }
  // Closing signals and later starts are heard already while the start-up asks its first
  // question (a nested loop inside initialise()).
  platform::UniqueFd signals(::signalfd(-1, &closing, SFD_NONBLOCK | SFD_CLOEXEC));
  if (signals) {
    loop.watchFd(signals.get(), [&] {
      signalfd_siginfo info;
      while (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      app->requestClose();
    });
  }
  control.attach(
      loop, [&](std::string_view text) { return controlMessage(*app, executable, text); },
      base::kMaxArgumentMessage);
  startupLock.release();
  if (!app->initialise()) {
    loop.unwatchFd(signals.get());
    control.close();
    return 0;
  }

  app->applyArguments(arguments);
  loop.run();

  if (signals) {
    loop.unwatchFd(signals.get());
  }
  control.close();
  app.reset();
  base::DetachedWorkerList::global().StopAll();
  platform::setGuiLoop(nullptr);
  toolkit.reset();
  return 0;
}

}  // namespace quillet::main
