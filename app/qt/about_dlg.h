#pragma once
// The About box (template 100).
#include <QDialog>

class QLineEdit;

namespace rt88h::app {

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

 private:
  QLineEdit* titleEdit = nullptr;  // control 1003
};

}  // namespace rt88h::app
