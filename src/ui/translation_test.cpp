// SPDX-License-Identifier: Apache-2.0
// The window and its dialogs in German and French: the texts are translated, including those
// the app layer hands over, and no label, button or group title is cut off. ctest runs this
// with LANG=de_DE.UTF-8 at scale 1 and 2 (QT_SCALE_FACTOR) as well.
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTextDocument>
#include <QToolButton>
#include <cstdlib>

#include "contacts/contact_store.h"
#include "ui/address_book_window.h"
#include "ui/contact_dialog.h"
#include "ui/line_settings_dialog.h"
#include "ui/options_dialog.h"
#include "ui/options_pages.h"
#include "ui/translations.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

// The text as drawn: mnemonics gone, rich text as plain; the widest of its lines.
int textWidth(const QFontMetrics& metrics, QString text, bool rich) {
  if (rich) {
    QTextDocument document;
    document.setHtml(text);
    text = document.toPlainText();
  }
  text.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove(u'&').replace(u'\x01', u'&');
  int widest = 0;
  for (const QString& line : text.split(u'\n')) {
    widest = std::max(widest, metrics.horizontalAdvance(line));
  }
  return widest;
}

// Room a button needs beside its text (indicator, icon, margins).
int buttonDecoration(const QAbstractButton* button) {
  const QStyle* style = button->style();
  int decoration = 0;
  if (qobject_cast<const QCheckBox*>(button) != nullptr ||
      qobject_cast<const QRadioButton*>(button) != nullptr) {
    decoration = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, button) +
                 style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, button);
  } else {
    decoration = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
  }
  if (!button->icon().isNull()) {
    decoration += button->iconSize().width() + 4;
  }
  return decoration;
}

// "class 'text' needs N, has M" for every visible text of `top` that does not fit its width.
QStringList clippedTexts(QWidget* top) {
  QStringList clipped;
  auto note = [&](QWidget* widget, const QString& text, int need, int have) {
    if (need > have) {
      clipped << QStringLiteral("%1 '%2' needs %3, has %4")
                     .arg(QString::fromUtf8(widget->metaObject()->className()), text)
                     .arg(need)
                     .arg(have);
    }
  };
  for (QWidget* widget : top->findChildren<QWidget*>()) {
    if (!widget->isVisible() || widget->width() <= 0) continue;
    const QFontMetrics metrics = widget->fontMetrics();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      if (label->text().isEmpty() || label->wordWrap()) continue;
      const bool rich = label->textFormat() == Qt::RichText ||
                        (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
      const int indent = std::max(label->indent(), 0);
      note(label, label->text(), textWidth(metrics, label->text(), rich),
           label->contentsRect().width() - 2 * label->margin() - indent);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      if (button->text().isEmpty()) continue;
      if (auto* tool = qobject_cast<QToolButton*>(button);
          tool != nullptr && tool->toolButtonStyle() == Qt::ToolButtonIconOnly) {
        continue;
      }
      note(button, button->text(),
           textWidth(metrics, button->text(), false) + buttonDecoration(button),
           button->contentsRect().width());
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      if (group->title().isEmpty()) continue;
      const int indicator =
          group->isCheckable()
              ? group->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, group) + 6
              : 0;
      note(group, group->title(), textWidth(metrics, group->title(), false) + indicator,
           group->contentsRect().width());
    }
  }
  return clipped;
}

QStringList texts(QWidget* top) {
  QStringList all;
  for (QWidget* widget : top->findChildren<QWidget*>()) {
    if (auto* label = qobject_cast<QLabel*>(widget)) all << label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) all << button->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) all << group->title();
  }
  return all;
}

struct Language {
  const char* name;
  const char* intercom;      // the app layer's caption, translated by the window
  const char* doNotDisturb;  // the window's own button
  const char* fileMenu;
  const char* recordingPage;   // the first options page
  const char* outboundServer;  // a group of the advanced line settings
  const char* contactName;     // a label of the contact dialog
  const char* confirmExit;     // the title of the window's question on closing
};

constexpr Language kGerman{.name = "de_DE",
                           .intercom = "Gegensprechen (F5)",
                           .doNotDisturb = "Nicht stören",
                           .fileMenu = "Datei",
                           .recordingPage = "Aufnahme / Wiedergabe",
                           .outboundServer = "&Ausgangsserver",
                           .contactName = "&Name des Kontakts",
                           .confirmExit = "Beenden bestätigen"};
constexpr Language kFrench{.name = "fr_FR",
                           .intercom = "Interphone (F5)",
                           .doNotDisturb = "Ne pas déranger",
                           .fileMenu = "Fichier",
                           .recordingPage = "Enregistrement / lecture",
                           .outboundServer = "Serveur &sortant",
                           .contactName = "&Nom du contact",
                           .confirmExit = "Confirmer la fermeture"};

class TranslatedWindowTest : public WindowTest {
 protected:
  // Opens the window and every dialog in the language: its texts are there, none is cut off.
  void checkLanguage(const Language& language) {
    Translations translations{QLocale(QString::fromUtf8(language.name))};
    ASSERT_TRUE(translations.loaded()) << language.name;
    realDialogs_ = true;
    addContact("Bob", "sip:bob@127.0.0.1:2");
    start();
    window_->show();
    auto* list = window_->findChild<QComboBox*>("control130");
    list->setCurrentIndex(0);
    pumpFor(50ms);
    EXPECT_EQ(window_->findChild<QPushButton*>("control115")->text(), language.intercom);
    EXPECT_EQ(window_->findChild<QPushButton*>("control119")->text(), language.doNotDisturb);
    EXPECT_EQ(window_->menuBar()->actions().value(0)->text(), language.fileMenu);
    EXPECT_EQ(clippedTexts(window_).join(u'\n').toStdString(), "");
    shot(window_, std::string("window-") + language.name + ".png");

    base::SettingsStore& store = base::SettingsStore::global();
    OptionsDialog options(window_, store, *prompts_, 0);
    options.show();
    EXPECT_EQ(options.findChild<QListWidget*>()->item(0)->text(), language.recordingPage);
    for (int32_t page = 0; page < kPageCount; ++page) {
      options.showPage(page);
      pumpFor(10ms);
      EXPECT_EQ(clippedTexts(&options).join(u'\n').toStdString(), "")
          << optionsPageTitle(page).toStdString();
    }
    options.showPage(kPageLines);
    shot(&options, std::string("options-") + language.name + ".png");

    LineSettingsDialog line(window_, store, *prompts_, LineSettingsMode::Both);
    line.show();
    EXPECT_TRUE(texts(&line).contains(QString::fromUtf8(language.outboundServer)));
    EXPECT_EQ(clippedTexts(&line).join(u'\n').toStdString(), "");

    std::unique_ptr<contacts::ContactStore> book = contacts::createContactStore();
    ContactDialog contact(window_, *book, -1, *prompts_);
    contact.show();
    EXPECT_TRUE(texts(&contact).contains(QString::fromUtf8(language.contactName)));
    EXPECT_EQ(clippedTexts(&contact).join(u'\n').toStdString(), "");

    window_->runCommand(app::kCommandAddressBook);
    auto* addressBook = window_->findChild<AddressBookWindow*>();
    ASSERT_NE(addressBook, nullptr);
    pumpFor(20ms);
    EXPECT_EQ(clippedTexts(addressBook).join(u'\n').toStdString(), "");

    // The window's own questions go through the same translation (dismissed unanswered).
    answerBoxes(QMessageBox::Cancel);
    window_->close();
    ASSERT_TRUE(pumpUntil([&] { return !seen_.empty(); }, 2s));
    stopAnswering();
    EXPECT_EQ(seen_.front().title.toStdString(), language.confirmExit);
  }
};

TEST_F(TranslatedWindowTest, GermanWindowAndDialogsAreTranslatedAndNothingIsCutOff) {
  checkLanguage(kGerman);
}

TEST_F(TranslatedWindowTest, FrenchWindowAndDialogsAreTranslatedAndNothingIsCutOff) {
  checkLanguage(kFrench);
}

// The language comes from the environment (LANG, LC_MESSAGES, ...) as the program reads it.
TEST(Translations, FollowTheUsersLanguageAndKeepEnglishWithoutATranslation) {
  const char* lang = std::getenv("LANG");
  const QString wanted = QLocale().name().left(2);
  Translations fromEnvironment;
  EXPECT_EQ(fromEnvironment.loaded(), wanted == u"de" || wanted == u"fr") << (lang ? lang : "");
  if (wanted == u"de") {
    EXPECT_EQ(QCoreApplication::translate("quillet::ui::MainWindow", "Do Not Disturb"),
              QStringLiteral("Nicht stören"));
  }
  Translations english{QLocale(QStringLiteral("en_GB"))};
  EXPECT_FALSE(english.loaded());
  Translations unknown{QLocale(QStringLiteral("sw_KE"))};
  EXPECT_FALSE(unknown.loaded());
}

}  // namespace
}  // namespace quillet::ui::testing
