// SPDX-License-Identifier: Apache-2.0
// The address-book window's list, menus, marks, e-mail and CSV transfer.
#include "ui/address_book_window.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QProgressDialog>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "app/intercom_app.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "contacts/contact_text.h"
#include "contacts/csv_transfer.h"
#include "platform/prompts.h"
#include "ui/accessibility.h"
#include "ui/contact_dialog.h"
#include "ui/main_window.h"
#include "ui/qt_text.h"

namespace quillet::ui {

namespace {

constexpr const char* kAutoIntercom = "AutoIntercom/Details";
constexpr const char* kQuickTransfer = "QuickTransfer/Details";
constexpr int32_t kRefillContacts = 32971;  // the main window's refill message
constexpr int kImportPollMs = 50;  // how often the progress dialog shows the import's state

// Lines in a file, for the progress bar (0 when it cannot be read).
int32_t countLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  int32_t lines = 0;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    lines += static_cast<int32_t>(std::count(buffer, buffer + in.gcount(), '\n'));
  }
  return lines;
}

// The record of a list whose Name is the contact's, -1 when none.
int32_t findMark(base::RegistryList& list, const std::string& name) {
  for (list.open(); !list.atEnd(); list.next()) {
    if (contacts::equalsNoCase(list.readText("Name"), name)) {
      return list.current();
    }
  }
  return -1;
}

// A file dialog of our own (not the desktop's), so that keyboard use and tests reach it.
QStringList askFiles(QWidget* parent, const QString& title, const QString& folder, bool save) {
  QFileDialog dialog(
      parent, title, folder,
      QCoreApplication::translate("quillet::ui::AddressBookWindow", "CSV Files(*.csv)"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);  // asked in our own words
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFiles);
  if (save) {
    dialog.setDefaultSuffix(QStringLiteral("csv"));
  }
  return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
}

}  // namespace

bool hasMark(base::SettingsStore& settings, const char* key, const std::string& name) {
  base::RegistryList list(settings, key);
  return findMark(list, name) >= 0;
}

void setMark(base::SettingsStore& settings, const char* key, const std::string& name,
             const std::string& number, bool on) {
  base::RegistryList list(settings, key);
  const int32_t record = findMark(list, name);
  if (on && record < 0) {
    const int32_t added = list.add();
    list.writeText(added, "Name", name);
    list.writeText(added, "Number", number);
  } else if (!on && record >= 0) {
    list.deleteRecord(record);
  }
}

void moveMarks(base::SettingsStore& settings, const std::string& oldName,
               const std::string& newName, const std::string& newNumber) {
  for (const char* key : {kAutoIntercom, kQuickTransfer}) {
    base::RegistryList list(settings, key);
    const int32_t record = findMark(list, oldName);
    if (record < 0) {
      continue;
    }
    if (newName.empty()) {
      list.deleteRecord(record);
    } else {
      list.writeText(record, "Name", newName);
      list.writeText(record, "Number", newNumber);
    }
  }
}

AddressBookWindow::AddressBookWindow(MainWindow& main, base::SettingsStore& settings,
                                     platform::Prompts& prompts)
    : QMainWindow(&main, Qt::Window), main_(main), settings_(settings), prompts_(prompts) {
  setObjectName(QStringLiteral("addressBook"));
  setWindowTitle(tr("Address Book"));
  setAttribute(Qt::WA_DeleteOnClose);
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("addressList"));
  list_->setHeaderLabels({tr("Name"), tr("Number"), tr("Auto Intercom")});
  list_->setRootIsDecorated(false);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  setAccessible(list_, tr("Contacts"),
                tr("Name, number and whether an intercom call from the contact is "
                   "answered by itself; its context menu edits the contact"));
  setCentralWidget(list_);

  QMenu* contactsMenu = menuBar()->addMenu(tr("&Contacts"));
  QAction* add = addCommand(contactsMenu, tr("&New..."), kNew, QKeySequence(Qt::CTRL | Qt::Key_N));
  QAction* edit =
      addCommand(contactsMenu, tr("&Edit..."), kEdit, QKeySequence(Qt::CTRL | Qt::Key_E));
  QAction* remove =
      addCommand(contactsMenu, tr("&Delete..."), kDelete, QKeySequence(Qt::CTRL | Qt::Key_Delete));
  contactsMenu->addSeparator();
  addCommand(contactsMenu, tr("&Import Addresses..."), kImport);
  addCommand(contactsMenu, tr("&Export Addresses..."), kExport);
  contactsMenu->addSeparator();
  addCommand(contactsMenu, tr("Close"), kClose, QKeySequence(Qt::Key_Escape));
  QMenu* help = menuBar()->addMenu(tr("&Help"));
  addCommand(help, tr("Help Contents"), kHelpContents);
  addCommand(help, tr("About Quillet ..."), kAbout);
  add->setToolTip(tr("Add new contact (Ctrl+N)"));
  edit->setToolTip(tr("Edit contact details (Ctrl+E)"));
  remove->setToolTip(tr("Delete the selected contact (Ctrl+Del)"));
  QToolBar* tools = addToolBar(tr("Contacts"));
  tools->setObjectName(QStringLiteral("addressTools"));
  tools->addActions({add, edit, remove});

  popup_ = new QMenu(this);
  popup_->addAction(add);
  popup_->addAction(edit);
  popup_->addAction(remove);
  addCommand(popup_, tr("E&mail"), kEmail);
  popup_->addSeparator();
  addCommand(popup_, tr("&Automatic intercom"), kSetAutoIntercom)->setCheckable(true);
  addCommand(popup_, tr("&Quick transfer"), kSetQuickTransfer)->setCheckable(true);

  connect(list_, &QTreeWidget::itemSelectionChanged, this, &AddressBookWindow::updateCommands);
  connect(list_, &QTreeWidget::itemActivated, this, [this] { runCommand(kEdit); });
  connect(list_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    updateCommands();
    popup_->popup(list_->viewport()->mapToGlobal(at));
  });
  nameControls(this);
  resize(480, 360);
  refill();
}

QAction* AddressBookWindow::addCommand(QMenu* menu, const QString& text, int32_t id,
                                       const QKeySequence& keys) {
  auto* action = new QAction(text, this);
  action->setShortcut(keys);
  connect(action, &QAction::triggered, this, [this, id] { runCommand(id); });
  menu->addAction(action);
  addAction(action);  // the shortcut works wherever the focus is in this window
  actions_[id] = action;
  return action;
}

QAction* AddressBookWindow::action(int32_t id) const {
  const auto found = actions_.find(id);
  return found != actions_.end() ? found->second : nullptr;
}

contacts::ContactStore* AddressBookWindow::store() const {
  // The application creates its store anew after Options: ask for it each time.
  return main_.app() != nullptr ? &main_.app()->contactStore() : nullptr;
}

void AddressBookWindow::refill() {
  const int32_t selected = selectedPosition();
  list_->clear();
  contacts::ContactStore* book = store();
  if (book == nullptr) {
    return;
  }
  const std::vector<contacts::Contact> all = contacts::readContacts(*book);
  std::vector<int32_t> order(all.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return contacts::foldCase(all[static_cast<size_t>(a)].name) <
           contacts::foldCase(all[static_cast<size_t>(b)].name);
  });
  for (int32_t position : order) {
    const contacts::Contact& contact = all[static_cast<size_t>(position)];
    const bool on = hasMark(settings_, kAutoIntercom, contact.name);
    auto* item = new QTreeWidgetItem(
        list_, {toQString(contact.name), toQString(contact.number), on ? tr("On") : tr("Off")});
    item->setData(0, Qt::UserRole, position);
  }
  selectPosition(selected);
  updateCommands();
}

int32_t AddressBookWindow::selectedPosition() const {
  const QList<QTreeWidgetItem*> items = list_->selectedItems();
  return items.isEmpty() ? -1 : items.front()->data(0, Qt::UserRole).toInt();
}

void AddressBookWindow::selectPosition(int32_t position) {
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    if (item->data(0, Qt::UserRole).toInt() == position) {
      list_->setCurrentItem(item);
      return;
    }
  }
}

void AddressBookWindow::updateCommands() {
  const int32_t position = selectedPosition();
  const bool any = position >= 0;
  for (int32_t id : {kEdit, kDelete, kEmail, kSetAutoIntercom, kSetQuickTransfer}) {
    actions_[id]->setEnabled(any);
  }
  const std::string name = any ? toUtf8(list_->selectedItems().front()->text(0)) : std::string();
  actions_[kSetAutoIntercom]->setChecked(any && hasMark(settings_, kAutoIntercom, name));
  actions_[kSetQuickTransfer]->setChecked(any && hasMark(settings_, kQuickTransfer, name));
}

void AddressBookWindow::runCommand(int32_t id) {
  const int32_t position = selectedPosition();
  switch (id) {
    case kNew:
      editContact(-1);
      break;
    case kEdit:
      if (position >= 0) editContact(position);
      break;
    case kDelete:
      if (position >= 0) deleteContact(position);
      break;
    case kEmail:
      if (position >= 0) email(position);
      break;
    case kSetAutoIntercom:
      if (position >= 0) toggleMark(kAutoIntercom, position);
      break;
    case kSetQuickTransfer:
      if (position >= 0) toggleMark(kQuickTransfer, position);
      break;
    case kImport:
      importAddresses();
      break;
    case kExport:
      exportAddresses();
      break;
    case kClose:
      close();
      break;
    case kHelpContents:
    case kAbout:
      main_.runCommand(id);
      break;
    default:
      break;
  }
}

void AddressBookWindow::changed() {
  refill();
  main_.postMessage(kRefillContacts);
}

void AddressBookWindow::editContact(int32_t position) {
  contacts::ContactStore* book = store();
  if (book == nullptr) return;
  std::string oldName;
  if (position >= 0 && book->seek(position)) oldName = book->nameAtCursor();
  ContactDialog dialog(this, *book, position, prompts_);
  if (dialog.exec() != QDialog::Accepted) return;
  if (position >= 0 && book->seek(position) && book->nameAtCursor() != oldName) {
    moveMarks(settings_, oldName, book->nameAtCursor(), book->numberAtCursor());
  }
  changed();
  if (position >= 0) selectPosition(position);
}

void AddressBookWindow::deleteContact(int32_t position) {
  contacts::ContactStore* book = store();
  const platform::Prompt question{
      QT_TRANSLATE_NOOP("app", "Confirm Delete"),
      QT_TRANSLATE_NOOP("app", "Are you sure you want to delete the selected contact?"),
      platform::PromptButtons::OkCancel, platform::PromptIcon::Question, "delete-contact"};
  if (book == nullptr || prompts_.ask(question) != platform::PromptAnswer::Ok ||
      !book->seek(position)) {
    return;
  }
  const std::string name = book->nameAtCursor();
  if (book->deleteContact(book->cursor())) {
    moveMarks(settings_, name, "", "");
  }
  changed();
}

void AddressBookWindow::email(int32_t position) {
  contacts::ContactStore* book = store();
  const std::string address = book != nullptr && book->seek(position) ? book->emailAtCursor() : "";
  if (address.empty() || !contacts::isValidEmail(address)) {
    prompts_.ask({"Quillet",
                  QT_TRANSLATE_NOOP(
                      "app", "The email address of this contact is not valid. Please try again."),
                  platform::PromptButtons::Ok, platform::PromptIcon::Warning, "email"});
    return;
  }
  const QString url = QStringLiteral("mailto:%1").arg(toQString(address));
  if (!QProcess::startDetached(MainWindow::openerProgram(), {url})) {
    base::logError("Cannot open ", toUtf8(url));
  }
}

void AddressBookWindow::toggleMark(const char* key, int32_t position) {
  contacts::ContactStore* book = store();
  if (book == nullptr || !book->seek(position)) return;
  const std::string name = book->nameAtCursor();
  setMark(settings_, key, name, book->numberAtCursor(), !hasMark(settings_, key, name));
  refill();
}

void AddressBookWindow::exportAddresses() {
  contacts::ContactStore* book = store();
  if (book == nullptr) return;
  for (;;) {
    const QStringList files =
        askFiles(this, tr("CSV File to Export To"),
                 toQString(settings_.readText("Settings", "SaveFolder")), true);
    if (files.isEmpty()) return;
    const QString path = files.front();
    settings_.writeText("Settings", "SaveFolder", toUtf8(QFileInfo(path).absolutePath()));
    if (QFileInfo::exists(path) &&
        prompts_.ask({"Quillet",
                      QT_TRANSLATE_NOOP(
                          "app", "The selected file already exists. Do you wish to overwrite it"),
                      platform::PromptButtons::YesNo, platform::PromptIcon::Question,
                      "overwrite"}) != platform::PromptAnswer::Yes) {
      continue;  // No: choose another file
    }
    const contacts::CsvExportResult result = contacts::exportCsv(*book, toUtf8(path));
    if (!result.opened) base::logError("Cannot write ", toUtf8(path));
    return;
  }
}

// What the import thread shares with the window: the name just read, the lines done and
// the lines in the file, the cancel flag, and the result once it is done.
struct AddressBookWindow::ImportJob {
  std::atomic<bool> cancel{false};
  std::atomic<bool> done{false};
  std::atomic<int32_t> lines{0};
  std::atomic<int32_t> total{0};
  std::mutex mutex;
  std::string name;                  // guarded by mutex
  contacts::CsvImportResult result;  // written before done
  std::thread thread;
};

AddressBookWindow::~AddressBookWindow() {
  if (import_) {
    import_->cancel = true;
    import_->thread.join();
  }
}

void AddressBookWindow::importAddresses() {
  if (store() == nullptr || import_) return;
  const QStringList files =
      askFiles(this, tr("CSV File to Import Addresses from"),
               toQString(settings_.readText("Settings", "SaveFolder")), false);
  if (files.isEmpty()) return;
  settings_.writeText("Settings", "SaveFolder", toUtf8(QFileInfo(files.front()).absolutePath()));
  const QPointer<AddressBookWindow> self(this);
  for (const QString& file : files) {
    const bool whole = importFile(file);
    if (self == nullptr) return;
    if (!whole) break;
  }
  changed();
}

bool AddressBookWindow::importFile(const QString& file) {
  // The thread adds through a store of its own on the same file, so the window's store is
  // never used by two threads; the file's lock keeps the writers apart.
  auto job = std::make_shared<ImportJob>();
  std::unique_ptr<contacts::ContactStore> book = contacts::createContactStore();
  const std::string path = toUtf8(file);
  job->thread = std::thread([job, path, book = std::move(book)] {
    job->total = countLines(path);
    contacts::CsvImportControl control;
    control.cancel = &job->cancel;
    control.onName = [&job](const std::string& name) {
      {
        std::lock_guard lock(job->mutex);
        job->name = name;
      }
      ++job->lines;
    };
    job->result = contacts::importCsv(*book, path, control);
    job->done = true;
  });
  import_ = job;

  // On the heap: the window, its parent, may be destroyed while it is open.
  const QPointer<AddressBookWindow> self(this);
  const QPointer<QProgressDialog> progress =
      new QProgressDialog(tr("Importing Contacts"), tr("Cancel"), 0, 0, this);
  progress->setObjectName(QStringLiteral("importProgress"));
  progress->setWindowTitle(tr("Import CSV File"));
  progress->setWindowModality(Qt::ApplicationModal);
  progress->setAutoClose(false);
  progress->setAutoReset(false);
  progress->setMinimumDuration(0);
  progress->setMinimumWidth(progress->fontMetrics().averageCharWidth() * 48);
  progress->show();
  // The window's loop runs meanwhile; the dialog shows the thread's progress.
  QEventLoop loop;
  QTimer poll;
  connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
  connect(&poll, &QTimer::timeout, &loop, [&] {
    if (job->done) loop.quit();
    if (progress == nullptr) return;
    if (progress->wasCanceled()) job->cancel = true;  // the button, Escape or cancel()
    if (const int32_t total = job->total; total > 0 && progress->maximum() != total) {
      progress->setMaximum(total);
    }
    progress->setValue(std::min(job->lines.load(), progress->maximum()));
    std::lock_guard lock(job->mutex);
    if (!job->name.empty()) progress->setLabelText(toQString(job->name));
  });
  poll.start(kImportPollMs);
  loop.exec();
  if (job->thread.joinable()) job->thread.join();  // the destroyed window joined it already
  if (self == nullptr) return false;
  delete progress.data();
  import_.reset();
  const contacts::CsvImportResult& result = job->result;
  base::logInfo("Imported " + std::to_string(result.added) + " contacts from ", path);
  return !result.cancelled && !job->cancel;
}

}  // namespace quillet::ui
