// SPDX-License-Identifier: Apache-2.0
// Loading, checking and saving the default line's outbound server, authentication id,
// transport and TLS trust settings.
#include "ui/line_settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>

#include "base/settings_store.h"
#include "platform/prompts.h"
#include "sip/transport_kind.h"
#include "ui/accessibility.h"
#include "ui/qt_text.h"

namespace quillet::ui {

namespace {

constexpr const char* kLine = "DefaultLine";

// The Transport choices in the combo's order, with the value each one stores.
struct TransportChoice {
  const char* text;
  const char* value;
};
constexpr TransportChoice kTransports[] = {
    {QT_TRANSLATE_NOOP("quillet::ui::LineSettingsDialog", "Automatic"), "auto"},
    {"UDP", "udp"},
    {"TCP", "tcp"},
    {"TLS", "tls"}};

// The MediaEncryption choices in the combo's order (the first is the default).
constexpr TransportChoice kEncryptions[] = {
    {QT_TRANSLATE_NOOP("quillet::ui::LineSettingsDialog", "Automatic"), "auto"},
    {QT_TRANSLATE_NOOP("quillet::ui::LineSettingsDialog", "Off"), "off"},
    {QT_TRANSLATE_NOOP("quillet::ui::LineSettingsDialog", "SDES-SRTP (keys over TLS only)"),
     "sdes"},
    {"DTLS-SRTP", "dtls"}};

// A stored value without the blanks around it, as the line reads it.
std::string storedValue(base::SettingsStore& store, const char* name) {
  return toUtf8(toQString(store.readText(kLine, name)).trimmed());
}

// The stored Transport's choice: its name in any case, else Automatic.
int transportIndex(const std::string& stored) {
  const std::optional<sip::TransportKind> kind = sip::transportFromName(stored);
  if (!kind) return 0;
  const std::string_view name = sip::paramName(*kind);
  for (int i = 1; i < static_cast<int>(std::size(kTransports)); ++i) {
    if (name == kTransports[i].value) return i;
  }
  return 0;
}

// The stored MediaEncryption's choice, in any case; another text is Automatic.
int encryptionIndex(const std::string& stored) {
  const QString value = toQString(stored).toLower();
  for (int i = 0; i < static_cast<int>(std::size(kEncryptions)); ++i) {
    if (value == QString::fromUtf8(kEncryptions[i].value)) return i;
  }
  return 0;
}

}  // namespace

bool lineSettingsModified(base::SettingsStore& store) {
  return store.readInt(kLine, "UseOutboundServer", 0) != 0 ||
         store.readInt(kLine, "UseAuthentication", 0) != 0 ||
         transportIndex(storedValue(store, "Transport")) != 0 ||
         !store.readText(kLine, "TLSCAFile").empty() ||
         storedValue(store, "TLSVerifyServer") == "0" ||
         encryptionIndex(storedValue(store, "MediaEncryption")) != 0 ||
         storedValue(store, "MediaEncryptionRequired") == "1";
}

LineSettingsDialog::LineSettingsDialog(QWidget* parent, base::SettingsStore& store,
                                       platform::Prompts& prompts, LineSettingsMode mode)
    : QDialog(parent), store_(store), prompts_(prompts) {
  setObjectName(QStringLiteral("lineSettingsDialog"));
  setWindowTitle(tr("Advanced Sip Server Settings"));
  auto* layout = new QVBoxLayout(this);
  if (mode != LineSettingsMode::Authentication) {
    layout->addWidget(buildOutboundGroup());
  }
  if (mode != LineSettingsMode::OutboundServer) {
    layout->addWidget(buildAuthGroup());
  }
  if (mode == LineSettingsMode::Both) {
    layout->addWidget(buildConnectionGroup());
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &LineSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &LineSettingsDialog::reject);
  layout->addWidget(buttons);
  nameControls(this);
}

QGroupBox* LineSettingsDialog::buildOutboundGroup() {
  auto* group = new QGroupBox(tr("&Outbound Server"), this);
  outbound_[0] = new QRadioButton(tr("Use the s&pecified server"), group);
  outbound_[1] = new QRadioButton(tr("Use a &different outbound server"), group);
  outbound_[2] = new QRadioButton(tr("Do &not use an outbound server"), group);
  outboundServer_ = new QLineEdit(group);
  outboundServer_->setObjectName(QStringLiteral("outboundServer"));
  outboundServer_->setAccessibleDescription(
      tr("The server that SIP requests go through instead of the line's server"));
  auto* form = new QFormLayout(group);
  form->addRow(outbound_[0]);
  form->addRow(outbound_[1]);
  form->addRow(tr("Outbound &Server:"), outboundServer_);
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
  auto* group = new QGroupBox(tr("&Authentication User Name"), this);
  auth_[0] = new QRadioButton(tr("Use the default &User ID"), group);
  auth_[1] = new QRadioButton(tr("Use a d&ifferent username"), group);
  authId_ = new QLineEdit(group);
  authId_->setObjectName(QStringLiteral("authId"));
  authId_->setAccessibleDescription(
      tr("The user name that the server authenticates instead of the SIP number"));
  auto* form = new QFormLayout(group);
  form->addRow(auth_[0]);
  form->addRow(auth_[1]);
  form->addRow(tr("Au&th ID:"), authId_);
  auth_[store_.readInt(kLine, "UseAuthentication", 0) != 0 ? 1 : 0]->setChecked(true);
  authId_->setText(toQString(store_.readText(kLine, "AuthID")));
  authId_->setEnabled(auth_[1]->isChecked());
  connect(auth_[1], &QRadioButton::toggled, authId_, &QLineEdit::setEnabled);
  return group;
}

QGroupBox* LineSettingsDialog::buildConnectionGroup() {
  auto* group = new QGroupBox(tr("&Connection"), this);
  transport_ = new QComboBox(group);
  transport_->setObjectName(QStringLiteral("Transport"));
  for (const TransportChoice& choice : kTransports) {
    transport_->addItem(tr(choice.text), QString::fromUtf8(choice.value));
  }
  transport_->setToolTip(
      tr("Automatic: UDP, unless the server's address asks for another transport. "
         "A server address with sips: or ;transport= keeps its own whatever the "
         "choice here."));
  caFile_ = new QLineEdit(group);
  caFile_->setObjectName(QStringLiteral("TLSCAFile"));
  caFile_->setMaxLength(static_cast<int>(base::kMaxSettingChars));
  caFile_->setPlaceholderText(tr("<only the system's authorities>"));
  caFile_->setMinimumWidth(
      caFile_->fontMetrics().horizontalAdvance(caFile_->placeholderText() + QStringLiteral("MM")));
  caFile_->setToolTip(tr("A file of certificate authorities (PEM) trusted beside the system's"));
  auto* browse = new QPushButton(tr("&Browse..."), group);
  browse->setObjectName(QStringLiteral("browseCaFile"));
  browse->setAccessibleDescription(tr("Chooses the TLS CA file"));
  auto* caRow = new QHBoxLayout;
  caRow->addWidget(caFile_, 1);
  caRow->addWidget(browse);
  verify_ = new QCheckBox(tr("&Verify the server's certificate"), group);
  verify_->setObjectName(QStringLiteral("TLSVerifyServer"));
  verify_->setAccessibleDescription(
      tr("Checks over TLS that the server is the one named by its address"));

  // The warning row: an icon and the text, shown while verification is off.
  auto* warningRow = new QWidget(group);
  auto* icon = new QLabel(warningRow);
  const int size = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(size, size));
  icon->setAlignment(Qt::AlignTop);
  warning_ = new QLabel(tr("Without verification anyone on the path can pretend to "
                           "be the server and read the call."),
                        warningRow);
  warning_->setObjectName(QStringLiteral("verifyWarning"));
  warning_->setWordWrap(true);
  auto* warningLayout = new QHBoxLayout(warningRow);
  warningLayout->setContentsMargins(0, 0, 0, 0);
  warningLayout->addWidget(icon);
  warningLayout->addWidget(warning_, 1);

  encryption_ = new QComboBox(group);
  encryption_->setObjectName(QStringLiteral("MediaEncryption"));
  for (const TransportChoice& choice : kEncryptions) {
    encryption_->addItem(tr(choice.text), QString::fromUtf8(choice.value));
  }
  encryption_->setToolTip(
      tr("Encrypts the call's audio. SDES sends the keys in the call set-up, so only "
         "over TLS; DTLS agrees on them with the far end directly. Automatic: DTLS, "
         "and SDES beside it over TLS, where the far end can."));
  encryptionRequired_ = new QCheckBox(tr("Refuse calls &without encrypted media"), group);
  encryptionRequired_->setObjectName(QStringLiteral("MediaEncryptionRequired"));
  encryptionRequired_->setAccessibleDescription(
      tr("Calls whose audio would not be encrypted are refused or ended"));

  auto* form = new QFormLayout(group);
  form->addRow(tr("T&ransport:"), transport_);
  auto* caLabel = new QLabel(tr("TLS CA &file:"), group);
  caLabel->setBuddy(caFile_);
  form->addRow(caLabel, caRow);
  form->addRow(verify_);
  form->addRow(warningRow);
  form->addRow(tr("&Media encryption:"), encryption_);
  form->addRow(encryptionRequired_);
  encryption_->setCurrentIndex(encryptionIndex(storedValue(store_, "MediaEncryption")));
  encryptionRequired_->setChecked(storedValue(store_, "MediaEncryptionRequired") == "1");

  transport_->setCurrentIndex(transportIndex(storedValue(store_, "Transport")));
  caFile_->setText(toQString(store_.readText(kLine, "TLSCAFile")));
  verify_->setChecked(storedValue(store_, "TLSVerifyServer") != "0");
  warningRow->setVisible(!verify_->isChecked());
  connect(verify_, &QCheckBox::toggled, warningRow,
          [warningRow](bool on) { warningRow->setVisible(!on); });
  // UDP and TCP carry no TLS: its settings wait, greyed, for another choice.
  const auto showTls = [this, browse, warningRow] {
    const bool tls = transport_->currentIndex() == 0 || transport_->currentIndex() == 3;
    for (QWidget* w : {static_cast<QWidget*>(caFile_), static_cast<QWidget*>(browse),
                       static_cast<QWidget*>(verify_), warningRow}) {
      w->setEnabled(tls);
    }
  };
  showTls();
  connect(transport_, &QComboBox::currentIndexChanged, this, showTls);
  connect(browse, &QPushButton::clicked, this, &LineSettingsDialog::browseCaFile);
  return group;
}

void LineSettingsDialog::browseCaFile() {
  const QFileInfo current(caFile_->text().trimmed());
  const QString folder = !caFile_->text().trimmed().isEmpty() && current.dir().exists()
                             ? current.absolutePath()
                             : QDir::homePath();
  // A file dialog of our own (not the desktop's), so that keyboard use and tests reach it.
  QFileDialog dialog(this, tr("TLS CA File"), folder,
                     tr("Certificates (*.pem *.crt *.cer);;All Files (*)"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    caFile_->setText(dialog.selectedFiles().front());
  }
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
    refuse(
        outboundServer_, QT_TRANSLATE_NOOP("app", "Invalid Outbound Server"),
        QT_TRANSLATE_NOOP("app", "Please enter the outbound server address that you want to use."));
    return;
  }
  if (authId_ != nullptr && auth_[1]->isChecked() && authId.isEmpty()) {
    refuse(authId_, QT_TRANSLATE_NOOP("app", "Invalid Default Authentication ID"),
           QT_TRANSLATE_NOOP("app",
                             "Please enter the default authentication id that you want to use."));
    return;
  }
  const QString caFile = caFile_ ? caFile_->text().trimmed() : QString();
  if (caFile_ != nullptr && caFile_->isEnabled() && !caFile.isEmpty() &&
      !(QFileInfo(caFile).isFile() && QFileInfo(caFile).isReadable())) {
    refuse(caFile_, QT_TRANSLATE_NOOP("app", "Invalid TLS CA File"),
           QT_TRANSLATE_NOOP("app",
                             "The TLS CA file cannot be read. Please choose a file of certificate "
                             "authorities, or leave the field empty to trust only the system's."));
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
  if (transport_ != nullptr) {
    store_.writeText(kLine, "Transport", toUtf8(transport_->currentData().toString()));
    store_.writeText(kLine, "TLSCAFile", toUtf8(caFile));
    store_.writeBool(kLine, "TLSVerifyServer", verify_->isChecked());
    store_.writeText(kLine, "MediaEncryption", toUtf8(encryption_->currentData().toString()));
    store_.writeBool(kLine, "MediaEncryptionRequired", encryptionRequired_->isChecked());
  }
  QDialog::accept();
}

}  // namespace quillet::ui
