#include "settings-ui/DeviceOper.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>

#include "protocol/HostCommand.h"
#include "protocol/RadioTables.h"
#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "settings-ui/ComboText.h"
#include "settings-ui/DeviceSet.h"
#include "settings-ui/PageLayout.h"

namespace trelvane {

CDeviceOper::CDeviceOper(ServiceEngine& engine, Prompter& prompter, std::string key,
                         std::shared_ptr<DeviceSocket> socket, QWidget* parent)
    : DevicePage(engine, prompter, std::move(key), std::move(socket), parent),
      codec_(CodecOrDefault(engine.Config().codePage)) {
    BuildControls();
}

void CDeviceOper::BuildControls() {
    // The page's own caption; it has no title bar, so this only names the page.
    setWindowTitle(QString::fromStdString(FormatText(LoadText(ids::kDeviceCaption), {key_})));

    queryButton_ = new QPushButton(QStringLiteral("Query"), this);
    refreshButton_ = new QPushButton(QStringLiteral("Refresh"), this);
    QGridLayout* rows = FramedPageLayout(this, queryButton_, refreshButton_);
    const auto addRow = [&](const char* label) {
        auto* edit = new QLineEdit(this);
        // The identity is the reader's: shown, never written from here. Disabled, not just
        // read-only, so the fields look like the display they are and take no focus.
        edit->setReadOnly(true);
        edit->setEnabled(false);
        edit->setMinimumWidth(200);
        AddPageRow(rows, QString::fromLatin1(label), edit);
        return edit;
    };
    nameEdit_ = addRow("Device Name");
    serialEdit_ = addRow("Serial No.");
    productEdit_ = addRow("Product Type");
    softwareEdit_ = addRow("Software Ver");
    hardwareEdit_ = addRow("Hardware Ver");

    connect(queryButton_, &QPushButton::clicked, this, &CDeviceOper::Query);
    connect(refreshButton_, &QPushButton::clicked, this, &CDeviceOper::LoadFromRecord);
}

void CDeviceOper::Initialise() {
    connect(&engine_, &ServiceEngine::DeviceInfoReplied, this, &CDeviceOper::OnDeviceInfoReply);
    LoadFromRecord();
}

void CDeviceOper::LoadFromRecord() {
    const DeviceRecord record = engine_.FindDevice(key_);
    if (!record) {
        return;  // disconnected: keep what is shown
    }
    const std::string productType = record->Text(DeviceText::kProductType);
    if (readerPage_) {
        readerPage_->SetProductRange(RangeOfProduct(productType));
    }
    nameEdit_->setText(FromCodePage(codec_, record->DeviceName()));
    serialEdit_->setText(FromCodePage(codec_, record->Text(DeviceText::kSerialNo)));
    productEdit_->setText(FromCodePage(codec_, productType));
    softwareEdit_->setText(FromCodePage(codec_, record->Text(DeviceText::kSoftwareVer)));
    hardwareEdit_->setText(FromCodePage(codec_, record->Text(DeviceText::kHardwareVer)));
    for (QLineEdit* edit : {nameEdit_, serialEdit_, productEdit_, softwareEdit_, hardwareEdit_}) {
        edit->setCursorPosition(0);  // show the start of a long text
    }
}

void CDeviceOper::Query() {
    if (!engine_.SendOnSocket(socket_, CMD_QUERY_INFO, kItemDeviceName)) {
        Tell(ids::kFailedQueryCmd);
        return;
    }
    // Sent back to back; each answer reloads the page when it has been handled.
    for (const int item : {kItemProductType, kItemSerialNo, kItemSoftwareVer, kItemHardwareVer}) {
        engine_.SendOnSocket(socket_, CMD_QUERY_INFO, static_cast<unsigned>(item));
    }
}

void CDeviceOper::OnDeviceInfoReply(const QString& key) {
    // Error replies reload too: the record then shows its unchanged values.
    if (IsThisReader(key)) {
        LoadFromRecord();
    }
}

}  // namespace trelvane
