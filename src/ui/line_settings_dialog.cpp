// Loading, checking and saving the default line's outbound server and authentication id.
#include "ui/line_settings_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include "base/settings_store.h"
#include "platform/prompts.h"
#include "ui/qt_text.h"

namespace quillet::ui {

namespace {

constexpr const char* kLine = "DefaultLine";

}  // namespace

LineSettingsDialog::LineSettingsDialog(QWidget* parent, base::SettingsStore& store,
                                       platform::Prompts& prompts, LineSettingsMode mode)
    : QDialog(parent), store_(store), prompts_(prompts) {
  setObjectName(QStringLiteral("lineSettingsDialog"));
  setWindowTitle(QStringLiteral("Advanced Sip Server Settings"));
  auto* layout = new QVBoxLayout(this);
  if (mode != LineSettingsMode::Authentication) {
    layout->addWidget(buildOutboundGroup());
  }
  if (mode != LineSettingsMode::OutboundServer) {
    layout->addWidget(buildAuthGroup());
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &LineSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &LineSettingsDialog::reject);
  layout->addWidget(buttons);
}

QGroupBox* LineSettingsDialog::buildOutboundGroup() {
  auto* group = new QGroupBox(QStringLiteral("&Outbound Server"), this);
  outbound_[0] = new QRadioButton(QStringLiteral("Use the s&pecified server"), group);
  outbound_[1] = new QRadioButton(QStringLiteral("Use a &different outbound server"), group);
  outbound_[2] = new QRadioButton(QStringLiteral("Do &not use an outbound server"), group);
  outboundServer_ = new QLineEdit(group);
  outboundServer_->setObjectName(QStringLiteral("outboundServer"));
  auto* form = new QFormLayout(group);
  form->addRow(outbound_[0]);
  form->addRow(outbound_[1]);
  form->addRow(QStringLiteral("Outbound &Server:"), outboundServer_);
  form->addRow(outbound_[2]);
  // Tab follows the rows: the server field comes between the second and third choice.
  setTabOrder(outbound_[1], outboundServer_);
  setTabOrder(outboundServer_, outbound_[2]);
  const int32_t use = store_.readInt(kLine, "UseOutboundServer", 0);
  outbound_[use == 0 ? 0 : use == 1 ? 1 : 2]->setChecked(true);
  outboundServer_->setText(toQString(store_.readText(kLine, "OutboundServer")));
  outboundServer_->setEnabled(outbound_[1]->isChecked());
  connect(outbound_[1], &QRadioButton::toggled, outboundServer_, &QLineEdit::setEnabled);
  return group;
}

QGroupBox* LineSettingsDialog::buildAuthGroup() {
  auto* group = new QGroupBox(QStringLiteral("&Authentication User Name"), this);
  auth_[0] = new QRadioButton(QStringLiteral("Use the default &User ID"), group);
  auth_[1] = new QRadioButton(QStringLiteral("Use a d&ifferent username"), group);
  authId_ = new QLineEdit(group);
  authId_->setObjectName(QStringLiteral("authId"));
  auto* form = new QFormLayout(group);
  form->addRow(auth_[0]);
  form->addRow(auth_[1]);
  form->addRow(QStringLiteral("Au&th ID:"), authId_);
  auth_[store_.readInt(kLine, "UseAuthentication", 0) != 0 ? 1 : 0]->setChecked(true);
  authId_->setText(toQString(store_.readText(kLine, "AuthID")));
  authId_->setEnabled(auth_[1]->isChecked());
  connect(auth_[1], &QRadioButton::toggled, authId_, &QLineEdit::setEnabled);
  return group;
}

bool LineSettingsDialog::refuse(QLineEdit* field, const char* title, const char* text) {
  prompts_.ask(
      {title, text, platform::PromptButtons::Ok, platform::PromptIcon::Warning, "line-settings"});
  field->setFocus();
  return false;
}

void LineSettingsDialog::accept() {
  // Both groups are checked before either is written, so a refusal changes nothing.
  const QString server = outboundServer_ ? outboundServer_->text().trimmed() : QString();
  const QString authId = authId_ ? authId_->text().trimmed() : QString();
  if (outboundServer_ != nullptr && outbound_[1]->isChecked() && server.isEmpty()) {
    refuse(outboundServer_, "Invalid Outbound Server",
           "Please enter the outbound server address that you want to use.");
    return;
  }
  if (authId_ != nullptr && auth_[1]->isChecked() && authId.isEmpty()) {
    refuse(authId_, "Invalid Default Authentication ID",
           "Please enter the default authentication id that you want to use.");
    return;
  }
  if (outboundServer_ != nullptr) {
    const int32_t use = outbound_[1]->isChecked() ? 1 : outbound_[2]->isChecked() ? 2 : 0;
    store_.writeText(kLine, "OutboundServer", toUtf8(server));
    store_.writeInt(kLine, "UseOutboundServer", use);
  }
  if (authId_ != nullptr) {
    store_.writeText(kLine, "AuthID", toUtf8(authId));
    store_.writeInt(kLine, "UseAuthentication", auth_[1]->isChecked() ? 1 : 0);
  }
  QDialog::accept();
}

}  // namespace quillet::ui
