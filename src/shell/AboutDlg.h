#pragma once

// The About box: the program's icon, its name and version, and OK.

#include <QDialog>

class QLabel;
class QPushButton;

namespace trelvane {

class CAboutDlg final : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    QLabel* IconLabel() const { return icon_; }
    QLabel* VersionLabel() const { return version_; }
    QPushButton* OkButton() const { return ok_; }

  private:
    QLabel* icon_;
    QLabel* version_;
    QPushButton* ok_;
};

}  // namespace trelvane
