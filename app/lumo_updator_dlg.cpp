#include "lumo_updator_dlg.h"

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>
#include <algorithm>
#include <string>
#include <system_error>

#include "about_dlg.h"
#include "dialog_units.h"
#include "flash_plan.h"
#include "instance_lock.h"
#include "lumo_updator_app.h"
#include "midi_service.h"
#include "preselect.h"
#include "string_table.h"
#include "update_procedure.h"
#include "virtual_midi.h"

namespace rt88h::app {

namespace {

QString utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A tooltip has no mnemonics: a bracketed one, "(&A)", goes as a whole, any other "&" alone.
QString withoutMnemonics(QString text) {
  text.remove(QRegularExpression(QStringLiteral("\\(&[^&()]\\)")));
  text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
  text.remove(QLatin1Char('&'));
  text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
  return text;
}

constexpr int kKeyRole = Qt::UserRole + 1;
constexpr int kSimulatedRole = Qt::UserRole + 2;
// Ten paints a second: the status line stays readable and costs half the painting.
constexpr int kStatusPaintIntervalMs = 100;

// Entries keep the device name's own bytes (the preselection compares those, not QStrings) and
// the device's key, which Execute opens so that it gets the device the user saw.
void appendDevice(QComboBox* list, const char* name, const std::string& key) {
  list->addItem(QString::fromUtf8(name), QByteArray(name));
  list->setItemData(list->count() - 1, QByteArray::fromStdString(key), kKeyRole);
}

std::string chosenKey(const QComboBox* list) {
  return list->currentIndex() >= 0 ? list->currentData(kKeyRole).toByteArray().toStdString()
                                   : std::string();
}

// The in-process virtual service is registered last, so its devices are a list's last entries;
// their keys say so as well. Marks those that are this process's simulated device.
void markSimulated(QComboBox* list, const std::vector<std::string>& virtualNames,
                   const std::string& simulated) {
  if (simulated.empty()) return;
  const int first = list->count() - static_cast<int>(virtualNames.size());
  for (std::size_t k = 0; k < virtualNames.size(); ++k) {
    const int position = first + static_cast<int>(k);
    if (position >= 0 && virtualNames[k] == simulated &&
        list->itemData(position, kKeyRole).toByteArray().startsWith("virtual:")) {
      list->setItemData(position, true, kSimulatedRole);
    }
  }
}

// Fills `list` from `port`; a list whose devices changed while it was read is read again, and
// after three tries is shown as read with nothing marked, so that Execute asks rather than trusts.
template <typename Port, typename VirtualNames>
void fillList(QComboBox* list, Port& port, VirtualNames virtualNames,
              const std::string& simulated) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::vector<std::string> virtualBefore = virtualNames();
    const int countBefore = port.deviceCount();
    list->clear();
    for (int i = 0; i < port.deviceCount(); ++i) {
      char name[midi::kDeviceNameSize] = {};
      port.deviceName(i, name);
      appendDevice(list, name, port.deviceKey(i));
    }
    if (countBefore == list->count() && countBefore == port.deviceCount() &&
        virtualBefore == virtualNames()) {
      markSimulated(list, virtualBefore, simulated);
      return;
    }
  }
}

bool simulatedSelected(const QComboBox* list) {
  return list->currentIndex() >= 0 && list->currentData(kSimulatedRole).toBool();
}

void preselect(QComboBox* list, const std::vector<std::string>& preferred) {
  std::vector<std::string> entries;
  entries.reserve(static_cast<std::size_t>(list->count()));
  for (int p = 0; p < list->count(); ++p) {
    entries.push_back(list->itemData(p).toByteArray().toStdString());
  }
  list->setCurrentIndex(preselectedPosition(entries, preferred));
}

}  // namespace

CLumoUpdatorDlg::CLumoUpdatorDlg(QWidget* parent)
    // A normal top-level window: a parentless Qt::Dialog is marked transient, and taskbars may
    // leave it out.
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      icon(applicationIcon()) {
  // Template 103 asks for the 9-point UI font; the layout follows its metrics.
  QFont dialogFont = font();
  dialogFont.setPointSize(9);
  setFont(dialogFont);
  createControls();
  updateSignals.replyStatus = kStatusOk;
  updateSignals.busy = 0;
  updateSignals.replyEvent.reset();
}

CLumoUpdatorDlg::~CLumoUpdatorDlg() {
  if (!destroyed) OnDestroy();
  waitForUpdate();
  timer.stop();  // no tick runs from here on
  // The controls go before the ports, last declared first.
  QWidget* const controlsLastFirst[] = {stepTextEdit,  picture,  rescanButton, statusTextEdit,
                                        executeButton, progress, outList,      inList};
  for (QWidget* control : controlsLastFirst) delete control;
  qDeleteAll(findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
  // midiOut, then midiIn, are destroyed with the members.
}

void CLumoUpdatorDlg::createControls() {
  const DialogUnits du(font());

  executeButton = new QPushButton(utf8(loadString(IDS_EXECUTE)), this);
  executeButton->setObjectName(QStringLiteral("executeButton"));
  executeButton->setGeometry(du.rect(119, 138, 50, 16));
  executeButton->setDefault(true);
  if (payloadsAreTestImages()) {
    executeButton->setToolTip(utf8(loadString(IDS_TEST_IMAGES_RISK)));
  }

  exitButton = new QPushButton(utf8(loadString(IDS_EXIT)), this);
  exitButton->setObjectName(QStringLiteral("exitButton"));
  exitButton->setGeometry(du.rect(182, 138, 50, 16));

  auto* inLabel = new QLabel(utf8(loadString(IDS_MIDI_IN_LABEL)), this);
  inLabel->setGeometry(du.rect(7, 7, 225, 8));
  auto* outLabel = new QLabel(utf8(loadString(IDS_MIDI_OUT_LABEL)), this);
  outLabel->setGeometry(du.rect(7, 37, 225, 8));

  inList = new QComboBox(this);
  inList->setObjectName(QStringLiteral("inList"));
  outList = new QComboBox(this);
  outList->setObjectName(QStringLiteral("outList"));
  for (auto [list, top] : {std::pair{inList, 15}, std::pair{outList, 45}}) {
    QRect area = du.rect(7, top, 225, 115);  // 115: the open list
    area.setHeight(list->sizeHint().height());
    list->setGeometry(area);
    list->setInsertPolicy(QComboBox::NoInsert);
    list->setMaxVisibleItems(std::max(1, (du.y(115) - area.height()) / area.height()));
  }

  progress = new QProgressBar(this);
  progress->setObjectName(QStringLiteral("progress"));
  progress->setGeometry(du.rect(7, 107, 225, 14));
  progress->setTextVisible(false);
  progress->setRange(0, 100);
  progress->setValue(0);

  statusTextEdit = new QLineEdit(this);
  statusTextEdit->setObjectName(QStringLiteral("statusText"));
  statusTextEdit->setGeometry(du.rect(12, 91, 220, 12));
  statusTextEdit->setReadOnly(true);
  // During an update it changes with every chunk, twenty times a second.
  statusPaint = new PaintThrottle(statusTextEdit, kStatusPaintIntervalMs);

  rescanButton = new QPushButton(utf8(loadString(IDS_RESCAN_DEVICE)), this);
  rescanButton->setObjectName(QStringLiteral("rescanButton"));
  rescanButton->setGeometry(du.rect(145, 65, 87, 16));

  picture = new QLabel(this);  // bound, never written
  picture->setObjectName(QStringLiteral("picture"));
  picture->setGeometry(du.rect(7, 134, 20, 20));

  stepTextEdit = new QLineEdit(this);
  stepTextEdit->setObjectName(QStringLiteral("stepText"));
  stepTextEdit->setGeometry(du.rect(12, 78, 29, 12));
  stepTextEdit->setReadOnly(true);

  if (payloadsAreTestImages()) {
    // Always in sight, and the title stays as specified.
    testImagesLabel = new QLabel(utf8(loadString(IDS_TEST_IMAGES_BADGE)), this);
    testImagesLabel->setObjectName(QStringLiteral("testImagesLabel"));
    testImagesLabel->setGeometry(du.rect(50, 138, 66, 16));
    testImagesLabel->setAlignment(Qt::AlignCenter);
    testImagesLabel->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold"));
    testImagesLabel->setToolTip(utf8(loadString(IDS_TEST_IMAGES_RISK)));
  }

  // No system menu here: the About item lives in the context menu and on this button.
  aboutButton = new QToolButton(this);
  aboutButton->setObjectName(QStringLiteral("aboutButton"));
  aboutButton->setGeometry(du.rect(30, 138, 16, 16));
  aboutButton->setIcon(icon);
  // Framed and reached by Tab, so that it reads as a button rather than a logo.
  aboutButton->setAutoRaise(false);
  aboutButton->setFocusPolicy(Qt::StrongFocus);
  aboutButton->hide();

  setTabOrder(executeButton, exitButton);
  setTabOrder(exitButton, inList);
  setTabOrder(inList, outList);
  setTabOrder(outList, statusTextEdit);
  setTabOrder(statusTextEdit, rescanButton);
  setTabOrder(rescanButton, stepTextEdit);
  setTabOrder(stepTextEdit, aboutButton);

  connect(executeButton, &QPushButton::clicked, this, [this] { OnExecute(); });
  connect(exitButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(rescanButton, &QPushButton::clicked, this, [this] { OnRescanDevice(); });
  connect(aboutButton, &QToolButton::clicked, this, [this] { OnSysCommand(kAboutCommand); });

  setFixedSize(du.size(239, 161));
}

int CLumoUpdatorDlg::DoModal() {
  return exec();
}

void CLumoUpdatorDlg::showEvent(QShowEvent* event) {
  if (!initialised) OnInitDialog();
  QDialog::showEvent(event);
}

void CLumoUpdatorDlg::OnInitDialog() {
  initialised = true;
  const QString aboutText = utf8(loadString(IDS_ABOUTBOX));
  if (!aboutText.isEmpty()) {
    auto* about = new QAction(aboutText, this);
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(kAboutCommand); });
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    aboutButton->setToolTip(withoutMnemonics(aboutText));
    aboutButton->show();
  }
  setWindowIcon(icon);
  fillDeviceLists();
  timer.start(50, &CLumoUpdatorDlg::timerTick, reinterpret_cast<uintptr_t>(this));
  progress->setRange(0, 100);
  setWindowTitle(utf8(instanceName(getInstanceNumber())));
  executeButton->setFocus();
}

int CLumoUpdatorDlg::getInstanceNumber() const {
  const CLumoUpdatorApp* app = afxGetApp();
  return app != nullptr ? app->getInstanceNumber() : 0;
}

void CLumoUpdatorDlg::timerTick(uint32_t, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  reinterpret_cast<CLumoUpdatorDlg*>(context)->dispatcher.dispatchReplies();
}

void CLumoUpdatorDlg::fillDeviceLists() {
  const CLumoUpdatorApp* app = afxGetApp();
  const std::string simulated = app != nullptr ? app->simulatedDeviceName() : std::string();
  midi::VirtualMidiBackend& inProcess = midi::virtualMidi();
  fillList(
      outList, midiOut, [&] { return inProcess.outputNames(); }, simulated);
  fillList(
      inList, midiIn, [&] { return inProcess.inputNames(); }, simulated);
  // Adding to an empty list selected its first entry: the preselection decides afresh.
  const std::vector<std::string> preferred = preferredNamesAsListed(getInstanceNumber());
  preselect(outList, preferred);
  preselect(inList, preferred);
}

void CLumoUpdatorDlg::OnExecute() {
  if (updateSignals.busy.load() == 1) {
    showMessage(loadString(IDS_IN_PROGRESS), loadString(IDS_ERROR_CAPTION), MessageIcon::Stop);
    return;
  }
  midiOut.close();
  // By key: a device that appeared or went since the lists were filled moves the positions.
  if (midiOut.open(outList->currentIndex(), chosenKey(outList)) == 0) {
    showMessage(kMidiOutOpenFailed, {}, MessageIcon::None);
    return;
  }
  midiIn.close();
  if (midiIn.openAndStart(inList->currentIndex(), chosenKey(inList)) == 0) {
    showMessage(loadString(IDS_CANT_OPEN_MIDI_IN), loadString(IDS_ERROR_CAPTION),
                MessageIcon::Stop);
    return;
  }
  if (!confirmTestImages()) {
    midiIn.close();
    midiOut.close();
    return;
  }
  // Qt would pass the focus of a control going grey on to Exit, where Enter closes the window.
  if (QWidget* focused = focusWidget(); focused == inList || focused == outList ||
                                        focused == executeButton || focused == rescanButton) {
    statusTextEdit->setFocus();
  }
  inList->setEnabled(false);
  outList->setEnabled(false);
  executeButton->setEnabled(false);
  rescanButton->setEnabled(false);
  updateSignals.busy = 1;
  updateSignals.replyEvent.reset();

  // The last worker has cleared busy but may still be finishing its last view operation, which
  // needs this thread: never join it here unless it has returned.
  if (worker.joinable()) {
    if (workerReturned && workerReturned->load()) {
      worker.join();
    } else {
      returningWorkers.push_back(std::move(worker));
    }
  }
  auto returned = std::make_shared<std::atomic<bool>>(false);
  try {
    worker = std::thread([this, returned] {
      runUpdate(*this);
      returned->store(true);
    });
    workerReturned = std::move(returned);
  } catch (const std::system_error&) {
    showMessage(loadString(IDS_CANT_START_UPDATE), loadString(IDS_ERROR_CAPTION),
                MessageIcon::Stop);
    restoreControls();
  }
}

bool CLumoUpdatorDlg::confirmTestImages() {
  if (!payloadsAreTestImages() || testImagesAllowedByEnvironment()) return true;
  if (simulatedSelected(outList) && simulatedSelected(inList)) return true;
  QMessageBox box(QMessageBox::Warning, applicationName(), utf8(loadString(IDS_TEST_IMAGES_RISK)),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName(QStringLiteral("testImagesQuestion"));
  box.setInformativeText(utf8(loadString(IDS_TEST_IMAGES_QUESTION)));
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  openBoxes.push_back(&box);
  const int answer = box.exec();
  std::erase(openBoxes, &box);
  return answer == QMessageBox::Yes && !destroyed;
}

void CLumoUpdatorDlg::OnRescanDevice() {
  midi::midiService().rescan();
  fillDeviceLists();
  enableExecute(true);
}

void CLumoUpdatorDlg::OnSysCommand(int id) {
  if ((id & 0xFFF0) != kAboutCommand || destroyed) return;
  CAboutDlg about(this);
  openBoxes.push_back(&about);
  about.exec();
  std::erase(openBoxes, &about);
}

// Push buttons take Enter when focused (auto-default) and QDialog gives the rest to Execute;
// only the About tool button needs telling.
void CLumoUpdatorDlg::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && focusWidget() == aboutButton && aboutButton->isEnabled()) {
    aboutButton->click();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CLumoUpdatorDlg::accept() {
  if (executeButton->isEnabled()) OnExecute();
}

void CLumoUpdatorDlg::done(int result) {
  if (!destroyed) OnDestroy();
  QDialog::done(result);
}

void CLumoUpdatorDlg::OnDestroy() {
  destroyed = true;
  midiOut.close();
  midiIn.close();
  updateSignals.replyStatus = kStatusStop;  // written before the event is signalled
  updateSignals.replyEvent.set();
  // From here view operations return at once; boxes already open end, so that the modal run,
  // the worker and a waiting timer tick can all finish.
  viewForwarder.close();
  const std::vector<QDialog*> boxes = openBoxes;
  for (QDialog* box : boxes) box->done(QDialog::Rejected);
}

void CLumoUpdatorDlg::waitForUpdate() {
  if (worker.joinable()) worker.join();
  for (std::thread& earlier : returningWorkers) {
    if (earlier.joinable()) earlier.join();
  }
  returningWorkers.clear();
}

namespace {

// QLineEdit repaints on every setText, also with the text it has: during an update that is
// twenty repaints a second of a line that did not change.
void showText(QLineEdit* edit, const QString& value, PaintThrottle* throttle = nullptr) {
  if (edit->text() == value && edit->cursorPosition() == 0) return;
  if (throttle != nullptr) throttle->beforeChange();
  edit->setText(value);
  edit->setCursorPosition(0);
}

}  // namespace

void CLumoUpdatorDlg::statusText(std::string_view text) {
  const QString value = utf8(text);
  viewForwarder.call([&] { showText(statusTextEdit, value, statusPaint); });
}

void CLumoUpdatorDlg::stepText(std::string_view text) {
  const QString value = utf8(text);
  viewForwarder.call([&] { showText(stepTextEdit, value); });
}

void CLumoUpdatorDlg::progressRange(int32_t low, int32_t high) {
  viewForwarder.call([&] {
    // The position stays inside the new range, as with the native progress bar.
    const int position = std::max(progress->value(), progress->minimum());
    progress->setRange(low, high);
    progress->setValue(std::clamp(position, low, std::max(low, high)));
  });
}

void CLumoUpdatorDlg::progressPosition(int32_t value) {
  viewForwarder.call(
      [&] { progress->setValue(std::clamp(value, progress->minimum(), progress->maximum())); });
}

void CLumoUpdatorDlg::restoreControls() {
  viewForwarder.call([&] {
    inList->setEnabled(true);
    outList->setEnabled(true);
    executeButton->setEnabled(true);
    rescanButton->setEnabled(true);
    updateSignals.busy = 0;
  });
}

void CLumoUpdatorDlg::enableExecute(bool on) {
  viewForwarder.call([&] { executeButton->setEnabled(on); });
}

void CLumoUpdatorDlg::showMessage(std::string_view text, std::string_view caption,
                                  MessageIcon messageIcon) {
  const QString body = utf8(text);
  const QString title = caption.empty() ? applicationName() : utf8(caption);
  viewForwarder.call([&] { runMessageBox(body, title, messageIcon); });
}

void CLumoUpdatorDlg::runMessageBox(const QString& text, const QString& caption,
                                    MessageIcon messageIcon) {
  if (destroyed) return;
  QMessageBox box(messageIcon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon,
                  caption, text, QMessageBox::Ok, this);
  openBoxes.push_back(&box);
  box.exec();
  std::erase(openBoxes, &box);
}

int CLumoUpdatorDlg::sendLong(const uint8_t* bytes, uint32_t length) {
  return midi::sendMessage(midiOut, bytes, length);
}

bool CLumoUpdatorDlg::peekSysEx(const uint8_t** bytes, uint32_t* count) {
  return midiIn.peekSysEx(bytes, count);
}

uint64_t CLumoUpdatorDlg::transportTroubles() {
  return midiIn.transportTroubles();
}

Arrival CLumoUpdatorDlg::peekArrival() {
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  midi::Arrival arrival;
  if (!midiIn.peekSysEx(&bytes, &count, &arrival)) return {};
  return {arrival.atUs, arrival.cycle};
}

void CLumoUpdatorDlg::popSysEx() {
  midiIn.popSysEx();
}

}  // namespace rt88h::app
