// The Advanced Line Settings dialog of the default line: the outbound server and the
// authentication identity, shown together or one group alone.
#pragma once

#include <QDialog>

class QGroupBox;
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

  void accept() override;

 private:
  QGroupBox* buildOutboundGroup();
  QGroupBox* buildAuthGroup();
  bool refuse(QLineEdit* field, const char* title, const char* text);

  base::SettingsStore& store_;
  platform::Prompts& prompts_;
  QRadioButton* outbound_[3] = {};
  QRadioButton* auth_[2] = {};
  QLineEdit* outboundServer_ = nullptr;
  QLineEdit* authId_ = nullptr;
};

}  // namespace quillet::ui
