// SPDX-License-Identifier: Apache-2.0
// The Options dialog: a page menu and the pages of the audio, line, network, logging and
// intercom settings, each loaded from and saved to the settings store.
#pragma once

#include <QDialog>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <vector>

#include "app/app_window.h"

class QListWidget;
class QStackedWidget;

namespace quillet::base {
class SettingsStore;
}
namespace quillet::platform {
class Prompts;
}

namespace quillet::ui {

// Page indexes, in the order of the page menu: the application's, then the pages of the
// intercom allow list and the hot keys.
enum OptionsPage : int32_t {
  kPageRecording = app::kOptionsPageRecording,
  kPageQuality = app::kOptionsPageQuality,
  kPageLines = app::kOptionsPageLines,
  kPagePorts = app::kOptionsPagePorts,
  kPageStunUpnp = app::kOptionsPageStun,
  kPageStaticIp = app::kOptionsPageStaticIp,
  kPageLogging = app::kOptionsPageLogging,
  kPageIntercom,
  kPageHotKeys,
  kPageCount
};

// Why a page refuses the OK: the message, its title and the field to correct.
struct PageProblem {
  QWidget* field;
  const char* title;
  const char* text;
};

// One page: loads its settings when the dialog opens; check() may refuse the OK, save()
// writes the settings once every page agreed.
class OptionsPageWidget : public QWidget {
  Q_OBJECT
 public:
  using QWidget::QWidget;
  virtual void load(base::SettingsStore& store) = 0;
  virtual std::optional<PageProblem> check() { return std::nullopt; }
  virtual void save(base::SettingsStore& store) = 0;
};

class OptionsDialog : public QDialog {
  Q_OBJECT
 public:
  // Opens on `page` (an index out of range opens the first page).
  OptionsDialog(QWidget* parent, base::SettingsStore& store, platform::Prompts& prompts,
                int32_t page);

  QListWidget* pageMenu() const { return menu_; }
  OptionsPageWidget* page(int32_t index) const { return pages_[static_cast<size_t>(index)]; }
  int32_t currentPage() const;
  void showPage(int32_t index);

  void accept() override;
  void done(int result) override;

 private:
  base::SettingsStore& store_;
  platform::Prompts& prompts_;
  QListWidget* menu_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  std::vector<OptionsPageWidget*> pages_;
};

}  // namespace quillet::ui
