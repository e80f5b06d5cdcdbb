// SPDX-License-Identifier: Apache-2.0
// The Options dialog's page menu, the page it opens on and remembers, and its OK.
#include "ui/options_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "base/settings_store.h"
#include "platform/prompts.h"
#include "ui/accessibility.h"
#include "ui/options_pages.h"

namespace quillet::ui {

OptionsDialog::OptionsDialog(QWidget* parent, base::SettingsStore& store,
                             platform::Prompts& prompts, int32_t page)
    : QDialog(parent), store_(store), prompts_(prompts) {
  setObjectName(QStringLiteral("optionsDialog"));
  setWindowTitle(tr("Options"));
  menu_ = new QListWidget(this);
  menu_->setObjectName(QStringLiteral("pageMenu"));
  setAccessible(menu_, tr("Pages"), tr("The page of settings shown beside the list"));
  stack_ = new QStackedWidget(this);
  for (int32_t i = 0; i < kPageCount; ++i) {
    menu_->addItem(optionsPageTitle(i));
    OptionsPageWidget* widget = makeOptionsPage(i, store, prompts, stack_);
    widget->load(store);
    stack_->addWidget(widget);
    pages_.push_back(widget);
  }
  // As wide as the longest title, at any scaling.
  int widest = 0;
  for (int32_t i = 0; i < kPageCount; ++i) {
    widest = std::max(widest, menu_->fontMetrics().horizontalAdvance(optionsPageTitle(i)));
  }
  menu_->setFixedWidth(widest + 2 * menu_->frameWidth() +
                       menu_->fontMetrics().averageCharWidth() * 3);
  connect(menu_, &QListWidget::currentRowChanged, stack_, &QStackedWidget::setCurrentIndex);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
  auto* body = new QHBoxLayout;
  body->addWidget(menu_);
  body->addWidget(stack_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(body);
  layout->addWidget(buttons);
  nameControls(this);
  showPage(page >= 0 && page < kPageCount ? page : 0);
  menu_->setFocus();
}

int32_t OptionsDialog::currentPage() const {
  return static_cast<int32_t>(stack_->currentIndex());
}

void OptionsDialog::showPage(int32_t index) {
  menu_->setCurrentRow(index);
  stack_->setCurrentIndex(index);
}

void OptionsDialog::accept() {
  for (size_t i = 0; i < pages_.size(); ++i) {
    const std::optional<PageProblem> problem = pages_[i]->check();
    if (problem) {
      showPage(static_cast<int32_t>(i));
      prompts_.ask({problem->title, problem->text, platform::PromptButtons::Ok,
                    platform::PromptIcon::Warning, "options"});
      problem->field->setFocus();
      return;
    }
  }
  for (OptionsPageWidget* widget : pages_) {
    widget->save(store_);
  }
  QDialog::accept();
}

void OptionsDialog::done(int result) {
  store_.writeInt("Settings", "SetDlgLastOpenedPage", currentPage());
  QDialog::done(result);
}

}  // namespace quillet::ui
