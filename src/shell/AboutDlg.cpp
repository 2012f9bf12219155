#include "shell/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "records/StringTable.h"
#include "shell/DialogUnits.h"
#include "trelvane/BuildInfo.h"
#include "ui-common/UiText.h"

namespace trelvane {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent),
      icon_(new QLabel(this)),
      version_(new QLabel(this)),
      ok_(new QPushButton(QStringLiteral("OK"), this)) {
    // The About box's texts belong to its own layout, not to the language packs.
    setWindowTitle(ui::Own(ids::kAboutCaption));
    setWindowIcon(ProgramIcon());
    const DialogUnits units(font());
    setFixedSize(units.Size(229, 70));

    const QIcon icon = ProgramIcon();
    const int side = units.Y(20);
    icon_->setPixmap(icon.pixmap(side, side));
    icon_->setGeometry(QRect(units.Point(11, 17), QSize(side, side)));

    version_->setText(QStringLiteral("Trelvane ") + QLatin1String(kVersion));
    version_->move(units.Point(40, 15));
    version_->adjustSize();

    ok_->setGeometry(QRect(units.Point(156, 7), units.Size(50, 14)));
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace trelvane
