#include "app/qt/updater_window.h"

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
#include <optional>
#include <string>
#include <type_traits>

#include "app/core/dialog_templates.h"
#include "app/qt/about_dlg.h"
#include "app/qt/dialog_units.h"
#include "app/qt/updater_app.h"
#include "resources/string_table.h"

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

// Ten paints a second: the status line stays readable and costs half the painting.
constexpr int kStatusPaintIntervalMs = 100;

}  // namespace

CLumoUpdatorDlg::CLumoUpdatorDlg(QWidget* parent)
    // A normal top-level window: a parentless Qt::Dialog is marked transient, and taskbars may
    // leave it out.
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      icon(applicationIcon()) {
  // The template's point size of the UI font; the layout follows its metrics.
  QFont dialogFont = font();
  dialogFont.setPointSize(dialogTemplate(IDD_LUMO_UPDATOR_DIALOG).fontPoints);
  setFont(dialogFont);
  createControls();
}

CLumoUpdatorDlg::~CLumoUpdatorDlg() {
  core.shutDown();
  // The controls go before the ports, last declared first.
  QWidget* const controlsLastFirst[] = {stepTextEdit,  picture,  rescanButton, statusTextEdit,
                                        executeButton, progress, outList,      inList};
  for (QWidget* control : controlsLastFirst) delete control;
  qDeleteAll(findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
  // The ports go with the behaviour, a member.
}

// Template 103's controls in its order, which is also their tab order.
void CLumoUpdatorDlg::createControls() {
  const DialogUnits du(font());
  const std::optional<TestImagesBadge> badge = testImagesBadge();
  QWidget* previous = nullptr;
  for (const DialogControl& c : dialogControls(IDD_LUMO_UPDATOR_DIALOG)) {
    if (c.kind == ControlKind::Badge && !badge) continue;
    QWidget* control = createControl(this, c, du);
    const auto keep = [control](auto*& slot, const char* name) {
      slot = static_cast<std::remove_reference_t<decltype(slot)>>(control);
      control->setObjectName(QString::fromLatin1(name));
    };
    switch (c.id) {
      case IDOK: keep(executeButton, "executeButton"); break;
      case IDCANCEL: keep(exitButton, "exitButton"); break;
      case IDC_IN_LIST: keep(inList, "inList"); break;
      case IDC_OUT_LIST: keep(outList, "outList"); break;
      case IDC_PROGRESS: keep(progress, "progress"); break;
      case IDC_STATUS_TEXT: keep(statusTextEdit, "statusText"); break;
      case IDC_RESCAN_DEVICE: keep(rescanButton, "rescanButton"); break;
      case IDC_PICTURE: keep(picture, "picture"); break;  // bound, never written
      case IDC_STEP_TEXT: keep(stepTextEdit, "stepText"); break;
      default: break;
    }
    if (c.kind == ControlKind::Badge) keep(testImagesLabel, "testImagesLabel");
    if (c.kind == ControlKind::AboutButton) keep(aboutButton, "aboutButton");
    if (control->focusPolicy() == Qt::NoFocus) continue;
    if (previous != nullptr) setTabOrder(previous, control);
    previous = control;
  }
  progress->setRange(0, 100);
  progress->setValue(0);
  // During an update it changes with every chunk, twenty times a second.
  statusPaint = new PaintThrottle(statusTextEdit, kStatusPaintIntervalMs);
  if (badge) {
    // Always in sight, and the title stays as specified.
    testImagesLabel->setAlignment(Qt::AlignCenter);
    testImagesLabel->setStyleSheet(QStringLiteral("color: #%1%2%3; font-weight: bold")
                                       .arg(badge->red, 2, 16, QLatin1Char('0'))
                                       .arg(badge->green, 2, 16, QLatin1Char('0'))
                                       .arg(badge->blue, 2, 16, QLatin1Char('0')));
    testImagesLabel->setToolTip(utf8(badge->tooltip));
    executeButton->setToolTip(utf8(badge->tooltip));
  }
  // No system menu here: the About item lives in the context menu and on this button.
  aboutButton->setIcon(icon);
  // Framed and reached by Tab, so that it reads as a button rather than a logo.
  aboutButton->setAutoRaise(false);
  aboutButton->setFocusPolicy(Qt::StrongFocus);
  aboutButton->hide();

  connect(executeButton, &QPushButton::clicked, this, [this] { OnExecute(); });
  connect(exitButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(rescanButton, &QPushButton::clicked, this, [this] { OnRescanDevice(); });
  connect(aboutButton, &QToolButton::clicked, this, [this] { OnSysCommand(kAboutCommand); });

  const DialogTemplate& layout = dialogTemplate(IDD_LUMO_UPDATOR_DIALOG);
  setFixedSize(du.size(layout.width, layout.height));
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
  const CLumoUpdatorApp* app = afxGetApp();
  core.OnInitDialog(getInstanceNumber(),
                    app != nullptr ? app->simulatedDeviceName() : std::string());
  executeButton->setFocus();
}

int CLumoUpdatorDlg::getInstanceNumber() const {
  const CLumoUpdatorApp* app = afxGetApp();
  return app != nullptr ? app->getInstanceNumber() : 0;
}

void CLumoUpdatorDlg::showEntries(DeviceList which, const std::vector<std::string>& names) {
  QComboBox* list = listOf(which);
  list->clear();
  // The entries keep the name's own bytes, as the preselection compares them.
  for (const std::string& name : names) list->addItem(utf8(name), QByteArray::fromStdString(name));
}

void CLumoUpdatorDlg::selectEntry(DeviceList which, int position) {
  listOf(which)->setCurrentIndex(position);
}

int CLumoUpdatorDlg::selectedEntry(DeviceList which) const {
  return listOf(which)->currentIndex();
}

void CLumoUpdatorDlg::enableControl(Control control, bool on) {
  QWidget* const controls[] = {inList, outList, executeButton, rescanButton};
  controls[static_cast<int>(control)]->setEnabled(on);
}

// Qt would pass the focus of a control going grey on to Exit, where Enter closes the window.
void CLumoUpdatorDlg::moveFocusOffGreyingControls() {
  if (QWidget* focused = focusWidget(); focused == inList || focused == outList ||
                                        focused == executeButton || focused == rescanButton) {
    statusTextEdit->setFocus();
  }
}

void CLumoUpdatorDlg::showTitle(std::string_view title) {
  setWindowTitle(utf8(title));
}

// A Yes/No question whose No is the default and Escape's answer; true only for Yes.
bool CLumoUpdatorDlg::askYesNo(const char* name, int textId, int informativeId) {
  QMessageBox box(QMessageBox::Warning, applicationName(), utf8(loadString(textId)),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName(QString::fromLatin1(name));
  if (informativeId != 0) box.setInformativeText(utf8(loadString(informativeId)));
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  openBoxes.push_back(&box);
  const int answer = box.exec();
  std::erase(openBoxes, &box);
  return answer == QMessageBox::Yes;
}

bool CLumoUpdatorDlg::askTestImages() {
  return askYesNo("testImagesQuestion", IDS_TEST_IMAGES_RISK, IDS_TEST_IMAGES_QUESTION);
}

bool CLumoUpdatorDlg::askStopUpdate() {
  return askYesNo("stopUpdateQuestion", IDS_STOP_UPDATE_QUESTION, 0);
}

void CLumoUpdatorDlg::runAboutBox() {
  CAboutDlg about(this);
  openBoxes.push_back(&about);
  about.exec();
  std::erase(openBoxes, &about);
}

void CLumoUpdatorDlg::closeBoxes() {
  const std::vector<QDialog*> boxes = openBoxes;
  for (QDialog* box : boxes) box->done(QDialog::Rejected);
}

// Push buttons take Enter when focused (auto-default) and QDialog gives the rest to Execute;
// only the About tool button needs telling. Escape is not Exit: it never asks.
void CLumoUpdatorDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    if (core.OnClose(CloseRequest::Escape)) QDialog::reject();
    event->accept();
    return;
  }
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && focusWidget() == aboutButton && aboutButton->isEnabled()) {
    aboutButton->click();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CLumoUpdatorDlg::accept() {
  core.OnOK();
}

void CLumoUpdatorDlg::reject() {
  if (core.OnClose(CloseRequest::Exit)) QDialog::reject();
}

void CLumoUpdatorDlg::terminate() {
  if (core.OnClose(CloseRequest::Terminate)) QDialog::reject();
}

void CLumoUpdatorDlg::done(int result) {
  if (!core.destroyed()) core.OnDestroy();
  QDialog::done(result);
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

void CLumoUpdatorDlg::showStatusText(std::string_view text) {
  showText(statusTextEdit, utf8(text), statusPaint);
}

void CLumoUpdatorDlg::showStepText(std::string_view text) {
  showText(stepTextEdit, utf8(text));
}

void CLumoUpdatorDlg::showProgress(int low, int high, int position) {
  progress->setRange(low, high);
  progress->setValue(position);
}

void CLumoUpdatorDlg::runMessageBox(std::string_view text, std::string_view caption,
                                    MessageIcon messageIcon) {
  QMessageBox box(messageIcon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon,
                  caption.empty() ? applicationName() : utf8(caption), utf8(text), QMessageBox::Ok,
                  this);
  openBoxes.push_back(&box);
  box.exec();
  std::erase(openBoxes, &box);
}

}  // namespace rt88h::app
