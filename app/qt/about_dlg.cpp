#include "app/qt/about_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTextDocument>
#include <algorithm>

#include "app/core/about_text.h"
#include "app/qt/dialog_units.h"
#include "app/qt/updater_app.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"

namespace rt88h::app {

namespace {
QString utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(utf8(loadString(IDS_ABOUT_TITLE)));
  setWindowIcon(applicationIcon());
  const DialogUnits du(font());
  const DialogTemplate& box = dialogTemplate(IDD_ABOUTBOX);

  auto* iconLabel = new QLabel(this);
  const QRect iconRect = du.rect(controlOf(IDD_ABOUTBOX, ControlKind::Icon));
  iconLabel->setGeometry(iconRect);
  const int side = std::min(iconRect.width(), iconRect.height());
  iconLabel->setPixmap(applicationIcon().pixmap(side, side));
  iconLabel->setAlignment(Qt::AlignCenter);

  titleEdit = new QLineEdit(this);
  titleEdit->setObjectName(QStringLiteral("titleEdit"));
  titleEdit->setGeometry(du.rect(controlOf(IDD_ABOUTBOX, ControlKind::ReadOnlyEdit)));
  titleEdit->setReadOnly(true);
  titleEdit->setText(utf8(kProductTitle));
  titleEdit->setCursorPosition(0);

  auto* images = new QLabel(this);
  images->setObjectName(QStringLiteral("imagesLine"));
  images->setGeometry(du.rect(controlOf(IDD_ABOUTBOX, ControlKind::Label)));
  // One line as the template has it; a font wider than ours loses the end, not the line.
  const QString line = utf8(aboutLine());
  images->setText(images->fontMetrics().elidedText(line, Qt::ElideRight, images->width()));
  if (payloadsAreTestImages()) images->setStyleSheet(QStringLiteral("color: #b00000"));

  // The whole digests as text to select and copy, reached with Tab like the title; as large as
  // they need in this font, so that no digest is cut or scrolled.
  const QString text = utf8(aboutImagesDigests());
  digests = new QPlainTextEdit(text, this);
  digests->setObjectName(QStringLiteral("digests"));
  digests->setReadOnly(true);
  digests->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  digests->setFocusPolicy(Qt::StrongFocus);
  digests->setTabChangesFocus(true);
  digests->setLineWrapMode(QPlainTextEdit::NoWrap);
  digests->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  digests->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  const QFontMetrics metrics(digests->font());
  const QStringList lines = text.split(QLatin1Char('\n'));
  int widest = 0;
  for (const QString& each : lines) widest = std::max(widest, metrics.horizontalAdvance(each));
  const int padding = 2 * digests->frameWidth() +
                      4 * static_cast<int>(digests->document()->documentMargin()) +
                      metrics.averageCharWidth();
  QRect area = du.rect(controlOf(IDD_ABOUTBOX, ControlKind::ReadOnlyText));
  area.setSize(area.size().expandedTo(
      {widest + padding, static_cast<int>(lines.size()) * metrics.lineSpacing() + padding}));
  digests->setGeometry(area);

  // Where the support logs are, below the digests however far they grew.
  const DialogControl& logsPlace = controlWithId(IDD_ABOUTBOX, IDC_ABOUT_LOGS);
  auto* logs = new QLabel(this);
  logs->setObjectName(QStringLiteral("logsLine"));
  QRect logsArea = du.rect(logsPlace);
  logsArea.moveTop(std::max(logsArea.top(), area.bottom() + 1 + du.y(3)));
  logsArea.setWidth(std::max(logsArea.width(), area.width()));
  logs->setGeometry(logsArea);
  const QString logsLine = utf8(supportLogLine());
  logs->setText(logs->fontMetrics().elidedText(logsLine, Qt::ElideMiddle, logs->width()));
  logs->setToolTip(logsLine);

  const QSize size = du.size(box.width, box.height)
                         .expandedTo({area.right() + 1 + du.x(7), logsArea.bottom() + 1 + du.y(6)});

  auto* ok = new QPushButton(utf8(loadString(IDS_OK)), this);
  const QRect okArea = du.rect(controlOf(IDD_ABOUTBOX, ControlKind::DefaultButton));
  ok->setGeometry(okArea.translated(size.width() - du.x(box.width), 0));  // at the right edge
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  // Tab order of the template, the digests after the title; OK gets the focus as the default
  // button.
  setTabOrder(titleEdit, digests);
  setTabOrder(digests, ok);
  ok->setFocus();
  setFixedSize(size);
}

CAboutDlg::~CAboutDlg() = default;

}  // namespace rt88h::app
