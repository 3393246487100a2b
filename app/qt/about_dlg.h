#pragma once
// The About box (template 100, grown to show the images' whole digests).
#include <QDialog>

class QLineEdit;
class QPlainTextEdit;

namespace rt88h::app {

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

 private:
  QLineEdit* titleEdit = nullptr;  // control 1003
  QPlainTextEdit* digests = nullptr;
};

}  // namespace rt88h::app
