#include "settings-ui/PageLayout.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QStyle>
#include <QVBoxLayout>

namespace trelvane {
namespace {

// The grid alternates gap rows and content rows: row 0 is the gap above the first row, then
// each content row is followed by the gap below it. Gaps stretch equally; the grid's own
// vertical spacing is 0 so that the gaps are the only vertical space between rows.
QSpacerItem* Gap(int minimumHeight) {
    return new QSpacerItem(0, minimumHeight, QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
}

int RowSpacing(const QWidget* frame) {
    const int spacing = frame->style()->pixelMetric(QStyle::PM_LayoutVerticalSpacing);
    return spacing >= 0 ? spacing : 6;
}

}  // namespace

QGridLayout* FramedPageLayout(QWidget* page, QPushButton* first, QPushButton* second) {
    auto* frame = new QGroupBox(page);
    auto* rows = new QGridLayout(frame);
    rows->setVerticalSpacing(0);
    rows->setColumnStretch(1, 1);
    rows->addItem(Gap(0), 0, 0);
    rows->setRowStretch(0, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* button : {first, second}) {
        button->setAutoDefault(false);
        button->setDefault(false);
        buttons->addWidget(button);
    }

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(frame, 1);
    layout->addLayout(buttons);
    return rows;
}

void AddPageRow(QGridLayout* rows, const QString& label, QWidget* field) {
    QWidget* frame = rows->parentWidget();
    // The gap at the bottom (row count - 1) becomes the gap between the last row and this one;
    // a new bottom gap follows this row.
    const int gapAbove = rows->rowCount() - 1;
    if (gapAbove > 0) {
        if (QLayoutItem* bottom = rows->itemAtPosition(gapAbove, 0)) {
            delete rows->takeAt(rows->indexOf(bottom));
        }
        rows->addItem(Gap(RowSpacing(frame)), gapAbove, 0);
    }
    const int row = gapAbove + 1;
    auto* text = new QLabel(label, frame);
    text->setBuddy(field);
    rows->addWidget(text, row, 0, Qt::AlignLeft | Qt::AlignVCenter);
    rows->addWidget(field, row, 1);
    rows->setRowStretch(row, 0);
    rows->addItem(Gap(0), row + 1, 0);
    rows->setRowStretch(row + 1, 1);
}

}  // namespace trelvane
