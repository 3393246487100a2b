#include "app/qt/about_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <algorithm>

#include "app/qt/dialog_units.h"
#include "app/qt/updater_app.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"

namespace rt88h::app {

namespace {
constexpr uint32_t kImageIds[] = {129, 136, 137};

QString utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

QString CAboutDlg::imagesLine() {
  if (payloadsAreTestImages()) {
    return utf8(loadString(IDS_ABOUT_TEST_IMAGES_LINE));
  }
  // The full digests are in the tooltip; eight digits tell the images apart.
  QStringList parts;
  for (const uint32_t id : kImageIds) {
    parts << QString::fromUtf8("%1:%2").arg(id).arg(QString::fromUtf8(payloadSha256(id)).left(8));
  }
  return parts.join(QLatin1Char(' '));
}

QString CAboutDlg::imagesDetails() {
  QString details = payloadsAreTestImages() ? utf8(loadString(IDS_ABOUT_TEST_IMAGES_DETAILS))
                                            : utf8(loadString(IDS_ABOUT_FIRMWARE_DETAILS));
  for (const uint32_t id : kImageIds) {
    details += QString::fromUtf8("\n%1  %2").arg(id).arg(QString::fromUtf8(payloadSha256(id)));
  }
  return details;
}

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setWindowTitle(utf8(loadString(IDS_ABOUT_TITLE)));
  setWindowIcon(applicationIcon());
  const DialogUnits du(font());

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

  auto* ok = new QPushButton(utf8(loadString(IDS_OK)), this);
  ok->setGeometry(du.rect(controlOf(IDD_ABOUTBOX, ControlKind::DefaultButton)));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* images = new QLabel(this);
  images->setObjectName(QStringLiteral("imagesLine"));
  images->setGeometry(du.rect(controlOf(IDD_ABOUTBOX, ControlKind::Label)));
  // One line as the template has it; a font wider than ours loses the end, not the line.
  images->setText(images->fontMetrics().elidedText(imagesLine(), Qt::ElideRight, images->width()));
  images->setToolTip(imagesDetails());
  if (payloadsAreTestImages()) images->setStyleSheet(QStringLiteral("color: #b00000"));

  // Tab order of the template: the edit, then OK; OK gets the focus as the default button.
  setTabOrder(titleEdit, ok);
  ok->setFocus();
  setFixedSize(du.size(dialogTemplate(IDD_ABOUTBOX).width, dialogTemplate(IDD_ABOUTBOX).height));
}

CAboutDlg::~CAboutDlg() = default;

}  // namespace rt88h::app
