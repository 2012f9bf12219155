#include "settings/ui/DeviceSet.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <array>
#include <span>

#include "protocol/HostCommand.h"
#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "settings/ui/PageLayout.h"
#include "ui-common/Prompter.h"

namespace trelvane {
namespace {

// Distance reached at each attenuation step, by range.
constexpr std::array<const char*, 16> kStandardDistances = {
    "0 ~ 250m", "0 ~ 200m", "0 ~ 160m", "0 ~ 120m", "0 ~ 100m", "0 ~ 80m", "0 ~ 60m", "0 ~ 50m",
    "0 ~ 40m",  "0 ~ 30m",  "0 ~ 25m",  "0 ~ 20m",  "0 ~ 15m",  "0 ~ 12m", "0 ~ 9m",  "0 ~ 7m"};
constexpr std::array<const char*, 4> kShortDistances = {"0 ~ 140m", "0 ~ 110m", "0 ~ 90m",
                                                        "0 ~ 70m"};
constexpr int kCarrierEntries = 24;
constexpr int kCarrierBaseMhz = 2405;
constexpr int kCarrierStepMhz = 5;

std::span<const char* const> Distances(ProductRange range) {
    if (range == ProductRange::kShort) {
        return kShortDistances;
    }
    return kStandardDistances;
}

}  // namespace

QStringList AttenuationEntries(ProductRange range) {
    QStringList entries;
    for (std::size_t index = 0; index < Distances(range).size(); ++index) {
        entries.append(QStringLiteral("%1dB").arg(-2 * static_cast<int>(index)));
    }
    return entries;
}

QString DistanceText(ProductRange range, int index) {
    const std::span<const char* const> table = Distances(range);
    if (index < 0 || static_cast<std::size_t>(index) >= table.size()) {
        index = 0;
    }
    return QString::fromLatin1(table[static_cast<std::size_t>(index)]);
}

QStringList CarrierEntries() {
    QStringList entries;
    for (int index = 0; index < kCarrierEntries; ++index) {
        entries.append(QStringLiteral("%1M").arg(kCarrierBaseMhz + kCarrierStepMhz * index));
    }
    return entries;
}

CDeviceSet::CDeviceSet(ServiceEngine& engine, Prompter& prompter, std::string key,
                       std::shared_ptr<DeviceSocket> socket, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      prompter_(prompter),
      key_(std::move(key)),
      keyText_(QString::fromStdString(key_)),
      socket_(std::move(socket)) {
    BuildControls();
}

void CDeviceSet::BuildControls() {
    queryButton_ = new QPushButton(QStringLiteral("Query"), this);
    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    QGridLayout* rows = FramedPageLayout(this, queryButton_, okButton_);
    // Selection-only: only a list entry has a meaning to the reader.
    attenBox_ = new QComboBox(this);
    attenBox_->setEditable(false);
    attenBox_->setMaxVisibleItems(16);
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
    connect(&engine_, &ServiceEngine::PageReplyReceived, this, &CDeviceSet::OnPageReply);
    RebuildAttenuationList(0);
    carrierBox_->clear();
    carrierBox_->addItems(CarrierEntries());
    carrierBox_->setCurrentIndex(0);
    LoadFromRecord();
    ShowDistance();
}

void CDeviceSet::ShowDistance() {
    distanceLabel_->setText(DistanceText(range_, attenBox_->currentIndex()));
}

void CDeviceSet::RebuildAttenuationList(int selection) {
    const QSignalBlocker quiet(attenBox_);  // one distance update at the end, not one per entry
    attenBox_->clear();
    attenBox_->addItems(AttenuationEntries(range_));
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
    // Taken as the reader's values once sent; a refusal re-selects them (see OnPageReply).
    const DeviceRecord record = engine_.FindDevice(key_);
    if (!record) {
        return;
    }
    record->atten = atten;
    record->carrierParam = carrier;
    storedAtten_ = atten;
    storedCarrier_ = carrier;
}

void CDeviceSet::OnPageReply(int message, const QString& key, int result, int replyCommand) {
    if (key != keyText_) {
        return;
    }
    if (message == WM_READER_QUERY_REPLY) {
        if (result == kReplySuccess) {
            LoadFromRecord();
        } else if (result == kReplyFailure) {
            Tell(ids::kFailedQueryDevice);
        }
    } else if (message == WM_READER_SET_REPLY) {
        if (result == kReplySuccess) {
            Tell(ids::kSuccessSetDevice);
        } else if (result == kReplyFailure) {
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
}

void CDeviceSet::Tell(int textId) {
    prompter_.Inform(window(), QString::fromStdString(LoadText(textId)),
                     QString::fromStdString(LoadText(ids::kTips)));
}

}  // namespace trelvane
