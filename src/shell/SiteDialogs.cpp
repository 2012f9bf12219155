#include "shell/SiteDialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "records/StringTable.h"
#include "shell/DialogUnits.h"
#include "ui-common/UiText.h"

namespace trelvane {
namespace {

using ui::Text;

// OK and Cancel in the texts loaded (Qt's own buttons would stay in English).
QDialogButtonBox* OkCancel(QDialog* dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(Text(ids::kOk));
    buttons->button(QDialogButtonBox::Cancel)->setText(Text(ids::kCancel));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

}  // namespace

ZoneDialog::ZoneDialog(const QString& title, const site::Zone& zone,
                       const std::vector<ReaderChoice>& readers,
                       std::function<bool(const site::Zone&)> apply, QWidget* parent)
    : QDialog(parent), apply_(std::move(apply)) {
    setWindowTitle(title);
    name_ = new QLineEdit(QString::fromStdString(zone.name), this);

    readers_ = new QTreeWidget(this);
    readers_->setRootIsDecorated(false);
    readers_->setSelectionMode(QAbstractItemView::NoSelection);
    readers_->setHeaderLabels(
        {Text(ids::kColumnReader), Text(ids::kColumnConnected), Text(ids::kColumnZone)});
    readers_->header()->setStretchLastSection(true);
    const auto ticked = [&zone](const std::string& name) {
        return std::find(zone.readers.begin(), zone.readers.end(), name) != zone.readers.end();
    };
    for (const ReaderChoice& choice : readers) {
        auto* item = new QTreeWidgetItem(readers_);
        item->setText(kReader, QString::fromStdString(choice.name));
        item->setText(kConnected, choice.connected ? Text(ids::kConnectedYes) : QString());
        // The zone being edited holds its own readers: only another zone's hold is worth a note.
        if (choice.zone != zone.name) {
            item->setText(kZone, QString::fromStdString(choice.zone));
        }
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(kReader, ticked(choice.name) ? Qt::Checked : Qt::Unchecked);
    }
    readers_->resizeColumnToContents(kReader);
    readers_->resizeColumnToContents(kConnected);

    other_ = new QLineEdit(this);
    addOther_ = new QPushButton(Text(ids::kAddReader), this);
    addOther_->setAutoDefault(false);
    const auto addTyped = [this] {
        TickReader(other_->text());
        other_->clear();
    };
    connect(addOther_, &QPushButton::clicked, this, addTyped);
    // Enter in the reader field adds the reader; it does not close the dialog.
    connect(other_, &QLineEdit::returnPressed, this, addTyped);

    auto* form = new QFormLayout;
    form->addRow(Text(ids::kZoneName), name_);
    auto* other = new QHBoxLayout;
    other->addWidget(new QLabel(Text(ids::kOtherReader), this));
    other->addWidget(other_, 1);
    other->addWidget(addOther_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(new QLabel(Text(ids::kColumnReaders), this));
    layout->addWidget(readers_, 1);
    layout->addLayout(other);
    layout->addWidget(OkCancel(this));
    const DialogUnits units(font());
    resize(units.Size(220, 200));
}

void ZoneDialog::TickReader(const QString& typed) {
    const QString name = typed.trimmed();
    if (name.isEmpty()) {
        return;
    }
    for (int i = 0; i < readers_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = readers_->topLevelItem(i);
        if (item->text(kReader) == name) {
            item->setCheckState(kReader, Qt::Checked);
            readers_->scrollToItem(item);
            return;
        }
    }
    auto* item = new QTreeWidgetItem(readers_);
    item->setText(kReader, name);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setCheckState(kReader, Qt::Checked);
    readers_->scrollToItem(item);
}

site::Zone ZoneDialog::Chosen() const {
    site::Zone zone;
    zone.name = name_->text().trimmed().toStdString();
    for (int i = 0; i < readers_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = readers_->topLevelItem(i);
        if (item->checkState(kReader) == Qt::Checked) {
            zone.readers.push_back(item->text(kReader).toStdString());
        }
    }
    return zone;
}

void ZoneDialog::accept() {
    if (!apply_ || apply_(Chosen())) {
        QDialog::accept();
    }
}

AssetDialog::AssetDialog(const QString& title, const std::optional<site::Asset>& asset,
                         std::function<bool(const AssetDialog&)> apply, QWidget* parent)
    : QDialog(parent), apply_(std::move(apply)) {
    setWindowTitle(title);
    tag_ = new QLineEdit(this);
    tag_->setMaxLength(10);
    label_ = new QLineEdit(this);
    group_ = new QLineEdit(this);
    note_ = new QPlainTextEdit(this);
    note_->setTabChangesFocus(true);
    if (asset) {
        tag_->setText(QString::number(asset->tag));
        tag_->setReadOnly(true);
        label_->setText(QString::fromStdString(asset->label));
        group_->setText(QString::fromStdString(asset->group));
        note_->setPlainText(QString::fromStdString(asset->note));
    }
    auto* form = new QFormLayout;
    form->addRow(Text(ids::kHistoryTag), tag_);
    form->addRow(Text(ids::kColumnLabel), label_);
    form->addRow(Text(ids::kColumnGroup), group_);
    form->addRow(Text(ids::kColumnNote), note_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form, 1);
    layout->addWidget(OkCancel(this));
    const DialogUnits units(font());
    resize(units.Size(220, 130));
    (asset ? static_cast<QWidget*>(label_) : tag_)->setFocus();
}

QString AssetDialog::TagText() const {
    return tag_->text().trimmed();
}

QString AssetDialog::Label() const {
    return label_->text().trimmed();
}

QString AssetDialog::Group() const {
    return group_->text().trimmed();
}

QString AssetDialog::Note() const {
    return note_->toPlainText();
}

void AssetDialog::accept() {
    if (!apply_ || apply_(*this)) {
        QDialog::accept();
    }
}

}  // namespace trelvane
