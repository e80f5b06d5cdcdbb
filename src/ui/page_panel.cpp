// SPDX-License-Identifier: Apache-2.0
// PagePanel: the page playing, and its Stop listening button; the main window's part of it.
#include "ui/page_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/main_window.h"

namespace quillet::ui {

PagePanel::PagePanel(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("pagePanel"));
  setFrameShape(QFrame::StyledPanel);
  auto* layout = new QHBoxLayout(this);
  label_ = new QLabel(this);
  label_->setObjectName(QStringLiteral("pageText"));
  label_->setWordWrap(true);
  stop_ = new QPushButton(tr("Stop listening"), this);
  stop_->setObjectName(QStringLiteral("stopPage"));
  stop_->setToolTip(tr("Stop listening to this page"));
  stop_->setAccessibleDescription(
      tr("The page goes on for others; this speaker stops playing it. Later pages still play."));
  layout->addWidget(label_, 1);
  layout->addWidget(stop_);
  connect(stop_, &QPushButton::clicked, this, [this] { emit stopRequested(); });
  setVisible(false);
}

void PagePanel::showPage(const std::string& text) {
  label_->setText(tr("Page: %1").arg(QString::fromStdString(text)));
  label_->setAccessibleName(label_->text());
  setVisible(!text.empty());
}

void MainWindow::showPage(const std::string& text) {
  pagePanel_->showPage(text);
}

}  // namespace quillet::ui
