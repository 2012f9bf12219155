#include "settings/ui/PageLayout.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace trelvane {

QFormLayout* FramedPageLayout(QWidget* page, QPushButton* first, QPushButton* second) {
    auto* frame = new QGroupBox(page);
    auto* form = new QFormLayout(frame);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* button : {first, second}) {
        button->setAutoDefault(false);
        button->setDefault(false);
        buttons->addWidget(button);
    }

    auto* layout = new QVBoxLayout(page);
    layout->addWidget(frame);
    layout->addStretch(1);
    layout->addLayout(buttons);
    return form;
}

}  // namespace trelvane
