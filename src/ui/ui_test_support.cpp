// Shared pieces of the window tests.
#include "ui/ui_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QTimer>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/log.h"
#include "base/settings_store.h"
#include "contacts/contact_store.h"
#include "ui/log_view_widget.h"
#include "ui/qt_dialogs.h"

extern char** environ;

namespace quillet::ui::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool RecordingDialogs::options(QWidget* /*parent*/, int32_t page) {
  log_.optionsPages.push_back(page);
  return log_.confirmOptions;
}

bool RecordingDialogs::contact(QWidget* /*parent*/, contacts::ContactStore& store,
                               int32_t position) {
  log_.contactPositions.push_back(position);
  if (log_.nextName.empty()) {
    return false;
  }
  store.add(log_.nextName, log_.nextNumber, "");
  log_.nextName.clear();
  return true;
}

namespace {
// One Qt application for the whole test run, deleted after the last test.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    application_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override { application_.reset(); }

 private:
  int argc_ = 1;
  char name_[8] = "ui_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};
[[maybe_unused]] ::testing::Environment* const gQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);
}  // namespace

void WindowTest::SetUpTestSuite() {
  ASSERT_NE(qApp, nullptr);
}

void WindowTest::SetUp() {
  // xdg-open stand-in: appends its argument to a file.
  const std::string bin = home_ + "/bin";
  fs::create_directories(bin);
  openedFile_ = home_ + "/opened.txt";
  {
    std::ofstream script(bin + "/xdg-open");
    script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << openedFile_ << "'\n";
  }
  fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
  const char* path = std::getenv("PATH");
  savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
  ::setenv("PATH", (bin + ":" + savedPath_).c_str(), 1);
}

void WindowTest::TearDown() {
  stopAnswering();
  stop();
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMessageBox*>(widget) != nullptr) {
      delete widget;
    }
  }
  ::setenv("PATH", savedPath_.c_str(), 1);
}

void WindowTest::start() {
  loop_ = std::make_unique<QtMessageLoop>();
  platform::setGuiLoop(loop_.get());
  prompts_ = std::make_unique<QtPrompts>(*loop_);
  env_ = std::make_unique<base::AppEnvironment>(
      base::AppEnvironment{*loop_, *prompts_, false, {"quillet"}, paths_});
  std::unique_ptr<Dialogs> dialogs =
      realDialogs_ ? qtDialogs(base::SettingsStore::global(), *prompts_, wizardStunServers_)
                   : std::make_unique<RecordingDialogs>(dialogs_);
  auto window = std::make_unique<MainWindow>(paths_, *prompts_, std::move(dialogs));
  window_ = window.get();
  prompts_->setParent(window_);
  app_ = std::make_unique<app::IntercomApp>(*env_, std::move(window));
  window_->attach(app_.get());
  ASSERT_TRUE(app_->initialise());
  pumpFor(std::chrono::milliseconds(20));
}

void WindowTest::stop() {
  if (!app_) {
    return;
  }
  app_.reset();
  window_ = nullptr;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
  platform::setGuiLoop(nullptr);
  prompts_.reset();
  loop_.reset();
}

bool WindowTest::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return app::testing::pumpUntil([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); },
                                 done, limit);
}

void WindowTest::pumpFor(std::chrono::milliseconds span) {
  pumpUntil([] { return false; }, span);
}

void WindowTest::answerBoxes(QMessageBox::StandardButton button) {
  answer_ = button;
  if (!answerer_) {
    answerer_ = std::make_unique<QTimer>();
    QObject::connect(answerer_.get(), &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible() || answer_ == QMessageBox::NoButton) {
        return;
      }
      seen_.push_back({box->windowTitle(), box->text()});
      if (QAbstractButton* chosen = box->button(answer_); chosen != nullptr) {
        chosen->click();
      } else {
        box->reject();
      }
    });
  }
  answerer_->start(20);
}

void WindowTest::stopAnswering() {
  answer_ = QMessageBox::NoButton;
  if (answerer_) {
    answerer_->stop();
  }
}

std::vector<SeenBox> WindowTest::takeInformBoxes() {
  std::vector<SeenBox> boxes;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible() && !box->isModal()) {
      boxes.push_back({box->windowTitle(), box->text()});
      seen_.push_back(boxes.back());
      box->close();
    }
  }
  return boxes;
}

bool WindowTest::sawBox(const QString& title, const QString& text) const {
  for (const SeenBox& box : seen_) {
    if (box.title == title && box.text == text) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> WindowTest::opened(size_t atLeast) {
  std::vector<std::string> lines;
  pumpUntil(
      [&] {
        lines.clear();
        std::ifstream in(openedFile_);
        for (std::string line; std::getline(in, line);) {
          lines.push_back(line);
        }
        return lines.size() >= atLeast;
      },
      std::chrono::seconds(5));
  return lines;
}

void WindowTest::addContact(const std::string& name, const std::string& number) {
  std::unique_ptr<contacts::ContactStore> store = contacts::createContactStore();
  store->add(name, number, "");
}

bool WindowTest::logHas(const std::string& text) const {
  for (const base::LogViewLine& line : window_->logView()->model().lines()) {
    if (line.message.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string WindowTest::logText() const {
  std::string text;
  for (const base::LogViewLine& line : window_->logView()->model().lines()) {
    text += line.time + " " + line.message + "\n";
  }
  return text;
}

// --- Far end ------------------------------------------------------------------------------

FarEnd::FarEnd(const std::string& root, const std::string& user, int32_t sipPort, int32_t rtpBase,
               const std::string& microphone)
    : home_(root + "/" + user), user_(user), port_(sipPort), speaker_(home_ + "/speaker.wav") {
  fs::create_directories(home_);
  std::ofstream ini(home_ + "/settings.ini");
  ini << "[Settings]\nNewInstall=0\nInstallWizRun=1\nUseAGC=0\nUseEchoCancellation=0\n"
      << "RecordDevice=file:" << microphone << "\nPlayDevice=file:" << speaker_ << "\n"
      << "[SIP]\nPort=" << sipPort << "\nLocalAddress=127.0.0.1\nSTUN=0\nRTPPortBase=" << rtpBase
      << "\n[DefaultLine]\nDisplayName=" << user << "\nUserName=" << user << "\n";
}

FarEnd::~FarEnd() {
  stop();
}

namespace {
int spawnQuillet(const std::string& home, const std::vector<std::string>& options) {
  const char* binary = std::getenv("QUILLET_BINARY");
  if (binary == nullptr) {
    return -1;
  }
  std::vector<std::string> args = {binary, "--headless"};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> envs = {"QUILLET_HOME=" + home};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).rfind("QUILLET_HOME=", 0) != 0) {
      envs.emplace_back(*e);
    }
  }
  std::vector<char*> envp;
  for (std::string& e : envs) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = home + "/stderr.txt";
  posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, binary, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}
}  // namespace

bool FarEnd::start() {
  pid_ = spawnQuillet(home_, {});
  if (pid_ < 0) {
    return false;
  }
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end) {
    if (log().find("SIP Number:") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int FarEnd::run(const std::vector<std::string>& options) {
  const int pid = spawnQuillet(home_, options);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void FarEnd::stop() {
  if (pid_ <= 0) {
    return;
  }
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string FarEnd::address() const {
  return "sip:" + user_ + "@127.0.0.1:" + std::to_string(port_);
}

std::string FarEnd::log() const {
  std::string all;
  const std::string logs = home_ + "/Logs";
  if (!fs::is_directory(logs)) {
    return all;
  }
  for (const auto& entry : fs::directory_iterator(logs)) {
    if (entry.path().string().ends_with("Quillet Log.txt")) {
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      all += text.str();
    }
  }
  return all;
}

// --- Audio files --------------------------------------------------------------------------

void writeWav(const std::string& path, const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t bytes = static_cast<uint32_t>(samples.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

std::vector<int16_t> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples;
  if (bytes.size() <= 44) {
    return samples;
  }
  // The data chunk follows the 44-byte header; a file still being written may not have
  // its lengths filled in, so everything after the header is taken.
  samples.resize((bytes.size() - 44) / 2);
  std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
  return samples;
}

std::vector<double> toneFrequencies(size_t tones) {
  std::vector<double> out;
  uint32_t seed = 12345;
  double last = 0;
  while (out.size() < tones) {
    seed = seed * 1103515245u + 12345u;
    const double frequency = 300 + (seed >> 16) % 30 * 50;  // 300..1750 Hz in 50 Hz steps
    if (std::abs(frequency - last) >= 150) {                // neighbours clearly apart
      out.push_back(frequency);
      last = frequency;
    }
  }
  return out;
}

std::vector<int16_t> toneSequence(size_t samples) {
  const std::vector<double> frequencies = toneFrequencies(samples / kToneSamples + 1);
  std::vector<int16_t> out(samples);
  double phase = 0;
  for (size_t i = 0; i < samples; ++i) {
    phase += 2 * M_PI * frequencies[i / kToneSamples] / 8000.0;
    out[i] = static_cast<int16_t>(9000 * std::sin(phase));
  }
  return out;
}

namespace {
// The share of a window's energy at one frequency (Goertzel): near 1 for a pure tone.
double toneShare(const int16_t* x, size_t n, double frequency) {
  const double w = 2 * M_PI * frequency / 8000.0;
  const double c = 2 * std::cos(w);
  double s1 = 0;
  double s2 = 0;
  double energy = 0;
  for (size_t i = 0; i < n; ++i) {
    const double s0 = x[i] + c * s1 - s2;
    s2 = s1;
    s1 = s0;
    energy += static_cast<double>(x[i]) * x[i];
  }
  const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
  return energy > 1e3 * n ? power / (energy * n / 2) : 0.0;
}
}  // namespace

size_t tonesHeardInOrder(const std::vector<double>& tones, const std::vector<int16_t>& heard) {
  constexpr size_t kWindow = 120;  // 15 ms: inside one tone even when it is shrunk
  size_t at = 0;
  size_t found = 0;
  for (double tone : tones) {
    bool seen = false;
    for (; at + kWindow <= heard.size(); at += kWindow / 6) {
      if (toneShare(&heard[at], kWindow, tone) > 0.6) {
        seen = true;
        break;
      }
    }
    if (!seen) {
      break;
    }
    ++found;
  }
  return found;
}

void shot(QWidget* widget, const std::string& name) {
  const char* folder = std::getenv("QUILLET_SCREENSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  widget->show();
  QApplication::processEvents();
  widget->grab().save(QString::fromUtf8(folder) + u'/' + QString::fromStdString(name));
}

}  // namespace quillet::ui::testing
