#pragma once
// The About box (template 100).
#include <QDialog>
#include <QString>

class QLineEdit;

namespace rt88h::app {

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

  // The one-line text under the title, and the longer form for its tooltip.
  static QString imagesLine();
  static QString imagesDetails();

 private:
  QLineEdit* titleEdit = nullptr;  // control 1003
};

}  // namespace rt88h::app
