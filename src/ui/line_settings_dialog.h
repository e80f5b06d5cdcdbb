// SPDX-License-Identifier: Apache-2.0
// The Advanced Line Settings dialog of the default line: the outbound server and the
// authentication identity, shown together or one group alone; shown together, also the
// line's transport with its TLS trust settings and its media encryption.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace quillet::base {
class SettingsStore;
}
namespace quillet::platform {
class Prompts;
}

namespace quillet::ui {

enum class LineSettingsMode { Both, OutboundServer, Authentication };

class LineSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  LineSettingsDialog(QWidget* parent, base::SettingsStore& store, platform::Prompts& prompts,
                     LineSettingsMode mode);

  // The choices in value order (0, 1, 2) and the text fields (tests).
  QRadioButton* outboundChoice(int value) const { return outbound_[value]; }
  QRadioButton* authChoice(int value) const { return auth_[value]; }
  QLineEdit* outboundField() const { return outboundServer_; }
  QLineEdit* authField() const { return authId_; }
  // The connection group (Both only): Transport, TLSCAFile, TLSVerifyServer and the
  // warning shown while verification is off.
  QComboBox* transportChoice() const { return transport_; }
  QLineEdit* caFileField() const { return caFile_; }
  QCheckBox* verifyBox() const { return verify_; }
  QLabel* verifyWarning() const { return warning_; }
  // MediaEncryption and MediaEncryptionRequired (Both only).
  QComboBox* encryptionChoice() const { return encryption_; }
  QCheckBox* encryptionRequiredBox() const { return encryptionRequired_; }

  void accept() override;

 private:
  QGroupBox* buildOutboundGroup();
  QGroupBox* buildAuthGroup();
  QGroupBox* buildConnectionGroup();
  void browseCaFile();
  bool refuse(QLineEdit* field, const char* title, const char* text);

  base::SettingsStore& store_;
  platform::Prompts& prompts_;
  QRadioButton* outbound_[3] = {};
  QRadioButton* auth_[2] = {};
  QLineEdit* outboundServer_ = nullptr;
  QLineEdit* authId_ = nullptr;
  QComboBox* transport_ = nullptr;
  QLineEdit* caFile_ = nullptr;
  QCheckBox* verify_ = nullptr;
  QLabel* warning_ = nullptr;
  QComboBox* encryption_ = nullptr;
  QCheckBox* encryptionRequired_ = nullptr;
};

// Whether the default line's advanced settings differ from their defaults (the Lines
// page marks its button then).
bool lineSettingsModified(base::SettingsStore& store);

}  // namespace quillet::ui
