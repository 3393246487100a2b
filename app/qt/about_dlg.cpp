#include "app/qt/about_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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

  auto* iconLabel = new QLabel(this);
  const QRect iconRect = du.rect(11, 17, 20, 20);
  iconLabel->setGeometry(iconRect);
  const int side = std::min(iconRect.width(), iconRect.height());
  iconLabel->setPixmap(applicationIcon().pixmap(side, side));
  iconLabel->setAlignment(Qt::AlignCenter);

  titleEdit = new QLineEdit(this);
  titleEdit->setObjectName(QStringLiteral("titleEdit"));
  titleEdit->setGeometry(du.rect(39, 19, 134, 14));
  titleEdit->setReadOnly(true);
  titleEdit->setText(utf8(kProductTitle));
  titleEdit->setCursorPosition(0);

  auto* ok = new QPushButton(utf8(loadString(IDS_OK)), this);
  ok->setGeometry(du.rect(178, 7, 50, 16));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* images = new QLabel(this);
  images->setObjectName(QStringLiteral("imagesLine"));
  images->setGeometry(du.rect(40, 45, 188, 8));
  // One line as the template has it; a font wider than ours loses the end, not the line.
  images->setText(
      images->fontMetrics().elidedText(utf8(aboutLine()), Qt::ElideRight, images->width()));
  images->setToolTip(utf8(imagesDetails()));
  if (payloadsAreTestImages()) images->setStyleSheet(QStringLiteral("color: #b00000"));

  auto* logs = new QLabel(this);
  logs->setObjectName(QStringLiteral("logsLine"));
  logs->setGeometry(du.rect(40, 55, 188, 8));
  const QString logsLine = utf8(supportLogLine());
  logs->setText(logs->fontMetrics().elidedText(logsLine, Qt::ElideMiddle, logs->width()));
  logs->setToolTip(logsLine);

  // Tab order of the template: the edit, then OK; OK gets the focus as the default button.
  setTabOrder(titleEdit, ok);
  ok->setFocus();
  setFixedSize(du.size(235, 68));
}

CAboutDlg::~CAboutDlg() = default;

}  // namespace rt88h::app
