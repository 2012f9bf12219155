#include "settings-ui/DeviceSet.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <string>
#include <vector>

#include "protocol/HostCommand.h"
#include "protocol/RadioTables.h"
#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "settings-ui/PageLayout.h"

namespace trelvane {
namespace {

QStringList ToStringList(const std::vector<std::string>& entries) {
    QStringList list;
    list.reserve(static_cast<qsizetype>(entries.size()));
    for (const std::string& entry : entries) {
        list.append(QString::fromStdString(entry));
    }
    return list;
}

}  // namespace

CDeviceSet::CDeviceSet(ServiceEngine& engine, Prompter& prompter, std::string key,
                       std::shared_ptr<DeviceSocket> socket, QWidget* parent)
    : DevicePage(engine, prompter, std::move(key), std::move(socket), parent) {
    BuildControls();
}

void CDeviceSet::BuildControls() {
    queryButton_ = new QPushButton(QStringLiteral("Query"), this);
    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    QGridLayout* rows = FramedPageLayout(this, queryButton_, okButton_);
    // Selection-only: only a list entry has a meaning to the reader.
    attenBox_ = new QComboBox(this);
    attenBox_->setEditable(false);
    attenBox_->setMaxVisibleItems(static_cast<int>(AttenuationSteps(ProductRange::kStandard)));
    distanceLabel_ = new QLabel(this);
    distanceLabel_->setMinimumWidth(
        distanceLabel_->fontMetrics().horizontalAdvance(QStringLiteral("0 ~ 250m  ")));
    carrierBox_ = new QComboBox(this);
    carrierBox_->setEditable(false);
    carrierBox_->setMaxVisibleItems(12);
    AddPageRow(rows, QStringLiteral("Attenuator ATTEN"), attenBox_);
    AddPageRow(rows, QStringLiteral("Distance Scope"), distanceLabel_);
    AddPageRow(rows, QStringLiteral("Carrier Parameter"), carrierBox_);

    connect(attenBox_, &QComboBox::currentIndexChanged, this, &CDeviceSet::ShowDistance);
    connect(queryButton_, &QPushButton::clicked, this, &CDeviceSet::Query);
    connect(okButton_, &QPushButton::clicked, this, &CDeviceSet::Ok);
}

void CDeviceSet::Initialise() {
    range_ = ProductRange::kStandard;
    storedAtten_ = 0;
    storedCarrier_ = 0;
    connect(&engine_, &ServiceEngine::ReaderQueryReplied, this, &CDeviceSet::OnQueryReply);
    connect(&engine_, &ServiceEngine::ReaderSetReplied, this, &CDeviceSet::OnSetReply);
    RebuildAttenuationList(0);
    carrierBox_->clear();
    carrierBox_->addItems(ToStringList(CarrierEntries()));
    carrierBox_->setCurrentIndex(0);
    LoadFromRecord();
    ShowDistance();
}

void CDeviceSet::ShowDistance() {
    const std::string_view distance = DistanceText(range_, attenBox_->currentIndex());
    distanceLabel_->setText(
        QString::fromLatin1(distance.data(), static_cast<qsizetype>(distance.size())));
}

void CDeviceSet::RebuildAttenuationList(int selection) {
    const QSignalBlocker quiet(attenBox_);  // one distance update at the end, not one per entry
    attenBox_->clear();
    attenBox_->addItems(ToStringList(AttenuationEntries(range_)));
    attenBox_->setCurrentIndex(selection < attenBox_->count() ? selection : -1);
    ShowDistance();
}

void CDeviceSet::SetProductRange(ProductRange range) {
    range_ = range;
    RebuildAttenuationList(0);
}

void CDeviceSet::SelectStored() {
    // An index outside the list leaves the box without a selection.
    attenBox_->setCurrentIndex(storedAtten_ < attenBox_->count() ? storedAtten_ : -1);
    carrierBox_->setCurrentIndex(storedCarrier_ < carrierBox_->count() ? storedCarrier_ : -1);
    ShowDistance();
}

void CDeviceSet::LoadFromRecord() {
    const DeviceRecord record = engine_.FindDevice(key_);
    if (!record) {
        return;
    }
    storedAtten_ = record->atten.load();
    storedCarrier_ = record->carrierParam.load();
    SelectStored();
}

void CDeviceSet::Query() {
    if (!engine_.SendOnSocket(socket_, CMD_QUERY_ATTEN, 0)) {
        Tell(ids::kFailedQueryCmd);
        return;
    }
    engine_.SendOnSocket(socket_, CMD_QUERY_CARRIER, 0);
}

void CDeviceSet::Ok() {
    // A box without a selection keeps its stored index: it is neither sent nor recorded.
    const int attenIndex = attenBox_->currentIndex();
    const int carrierIndex = carrierBox_->currentIndex();
    const std::uint8_t atten =
        attenIndex >= 0 ? static_cast<std::uint8_t>(attenIndex) : storedAtten_;
    const std::uint8_t carrier =
        carrierIndex >= 0 ? static_cast<std::uint8_t>(carrierIndex) : storedCarrier_;

    bool sent = true;
    bool attenSent = false;
    bool carrierSent = false;
    if (atten != storedAtten_) {
        sent = attenSent = engine_.SendOnSocket(socket_, CMD_SET_ATTEN, atten);
    }
    // The carrier follows only an attenuator that went out: a half-sent change is reported as
    // a failure without sending more.
    if (sent && carrier != storedCarrier_) {
        sent = carrierSent = engine_.SendOnSocket(socket_, CMD_SET_CARRIER, carrier);
    }
    if (attenSent && !attenBeforeSet_) {
        attenBeforeSet_ = storedAtten_;
    }
    if (carrierSent && !carrierBeforeSet_) {
        carrierBeforeSet_ = storedCarrier_;
    }
    if (!sent) {
        Tell(ids::kFailedSetCmd);
        return;
    }
    // Taken as the reader's values once sent; a refusal re-selects them (see OnSetReply).
    const DeviceRecord record = engine_.FindDevice(key_);
    if (!record) {
        return;
    }
    record->atten = atten;
    record->carrierParam = carrier;
    storedAtten_ = atten;
    storedCarrier_ = carrier;
}

void CDeviceSet::OnQueryReply(const QString& key, bool ok) {
    if (!IsThisReader(key)) {
        return;
    }
    if (ok) {
        LoadFromRecord();
    } else {
        Tell(ids::kFailedQueryDevice);
    }
}

void CDeviceSet::OnSetReply(const QString& key, bool ok, int replyCommand) {
    if (!IsThisReader(key)) {
        return;
    }
    if (ok) {
        Tell(ids::kSuccessSetDevice);
    } else {
        // The setting the reader refused goes back to what it had before the set.
        const DeviceRecord record = engine_.FindDevice(key_);
        if (replyCommand == commandbyte::kSetAtten && attenBeforeSet_) {
            storedAtten_ = *attenBeforeSet_;
            if (record) {
                record->atten = storedAtten_;
            }
        } else if (replyCommand == commandbyte::kSetCarrier && carrierBeforeSet_) {
            storedCarrier_ = *carrierBeforeSet_;
            if (record) {
                record->carrierParam = storedCarrier_;
            }
        }
        SelectStored();
        Tell(ids::kFailedSetDevice);
    }
    if (replyCommand == commandbyte::kSetAtten) {
        attenBeforeSet_.reset();
    } else if (replyCommand == commandbyte::kSetCarrier) {
        carrierBeforeSet_.reset();
    }
}

}  // namespace trelvane
