#pragma once

// The Reader Setting page: the attenuator (ATTEN) and carrier parameter of one connected
// reader, shown as list indexes of the two boxes, read from the device record, queried from the
// reader and sent when changed. The lists and the distance the chosen attenuation reaches come
// from the protocol's radio tables; the range (the standard 16 steps, or the K314B range of 4)
// is the product's, which the Device Info page sets at each of its loads.
//
// The stored indexes are the values last loaded from the record or last sent: OK sends only
// what differs from them, and a reader's refusal re-selects them. Both boxes are selection-only:
// typed text has no meaning to a reader, and a box without a selection (a record index outside
// the current list) counts as unchanged rather than as index 255.
//
// Replies arrive through the engine's ReaderQueryReplied and ReaderSetReplied signals with the
// page as context, so a destroyed page receives nothing and replies of other devices are ignored.
// Everything runs on the user-interface (event loop) thread.

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol/RadioTables.h"
#include "settings-ui/DevicePage.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace trelvane {

class DeviceSocket;
class Prompter;
class ServiceEngine;

class CDeviceSet final : public DevicePage {
    Q_OBJECT

  public:
    CDeviceSet(ServiceEngine& engine, Prompter& prompter, std::string key,
               std::shared_ptr<DeviceSocket> socket, QWidget* parent = nullptr);

    // Standard range, both lists filled and the first entries selected, then the first load;
    // subscribes to replies.
    void Initialise();
    // Rebuilds the attenuation list for `range` and selects its first entry; the stored index
    // is kept, so the selection may differ from it until the next load.
    void SetProductRange(ProductRange range);
    ProductRange Range() const { return range_; }

    // Takes the record's indexes as the stored ones and selects them; nothing changes when the
    // device is no longer registered.
    void LoadFromRecord();
    // CMD_QUERY_ATTEN, then CMD_QUERY_CARRIER when the first went out.
    void Query();
    // Sends what changed, attenuator first; records the new indexes once sent.
    void Ok();

    std::uint8_t StoredAttenuation() const { return storedAtten_; }
    std::uint8_t StoredCarrier() const { return storedCarrier_; }

    QComboBox* AttenuationBox() const { return attenBox_; }
    QComboBox* CarrierBox() const { return carrierBox_; }
    QLabel* DistanceLabel() const { return distanceLabel_; }
    QPushButton* QueryButton() const { return queryButton_; }
    QPushButton* OkButton() const { return okButton_; }

  private:
    void BuildControls();
    void ShowDistance();
    void RebuildAttenuationList(int selection);
    void SelectStored();
    void OnQueryReply(const QString& key, bool ok);
    void OnSetReply(const QString& key, bool ok, int replyCommand);

    ProductRange range_ = ProductRange::kStandard;
    std::uint8_t storedAtten_ = 0;
    std::uint8_t storedCarrier_ = 0;
    // The value each setting had before a set command that the reader has not answered yet;
    // a refusal puts it back, so the page never shows a value the reader turned down.
    std::optional<std::uint8_t> attenBeforeSet_;
    std::optional<std::uint8_t> carrierBeforeSet_;

    QComboBox* attenBox_ = nullptr;
    QLabel* distanceLabel_ = nullptr;
    QComboBox* carrierBox_ = nullptr;
    QPushButton* queryButton_ = nullptr;
    QPushButton* okButton_ = nullptr;
};

}  // namespace trelvane
