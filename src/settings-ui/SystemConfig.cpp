#include "settings-ui/SystemConfig.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "settings-ui/ComboText.h"
#include "settings-ui/DeviceOper.h"
#include "settings-ui/DeviceSet.h"
#include "settings-ui/LocalAddresses.h"
#include "settings-ui/ServerCfg.h"
#include "settings-ui/TabIcons.h"
#include "settings/ServiceConfig.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {
namespace {

using ui::Text;

}  // namespace

CSystemConfig::CSystemConfig(Mode mode, QWidget* parent) : QDialog(parent), mode_(mode) {
    setWindowTitle(QStringLiteral("System Setting"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    tabs_ = new QTabWidget(this);
    tabs_->setIconSize(QSize(16, 16));
    tabs_->setDocumentMode(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(tabs_);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog, like its pages
}

CSystemConfig::CSystemConfig(Prompter& prompter, LocalAddressSource& addresses,
                             std::optional<std::filesystem::path> workingDir, QWidget* parent)
    : CSystemConfig(Mode::kService, parent) {
    servicePage_ = new CServerCfg(prompter, addresses, std::move(workingDir));
    tabs_->addTab(servicePage_, TabIcon(TabImage::kServer), Text(ids::kTabServiceSetting));
    tabs_->setCurrentIndex(0);
    setWindowTitle(Text(ids::kTitleServiceSetting));
    servicePage_->Initialise();
    servicePage_->AddressBox()->setFocus();
}

CSystemConfig::CSystemConfig(ServiceEngine& engine, Prompter& prompter, const std::string& key,
                             const std::shared_ptr<DeviceSocket>& socket,
                             const QString& titlePrefix, QWidget* parent)
    : CSystemConfig(Mode::kDevice, parent) {
    deviceInfoPage_ = new CDeviceOper(engine, prompter, key, socket);
    readerPage_ = new CDeviceSet(engine, prompter, key, socket);
    tabs_->addTab(deviceInfoPage_, TabIcon(TabImage::kServer), Text(ids::kTabDeviceInfo));
    tabs_->addTab(readerPage_, TabIcon(TabImage::kAntenna), Text(ids::kTabReaderSetting));
    tabs_->setCurrentIndex(0);
    // Order matters: the Device Info page's first load happens while there is no Reader
    // Setting page to pass the product's range to.
    deviceInfoPage_->Initialise();
    readerPage_->Initialise();
    deviceInfoPage_->SetReaderSettingPage(readerPage_);
    setWindowTitle(titlePrefix + Text(ids::kDeviceOperation));
    connect(tabs_, &QTabWidget::currentChanged, this, &CSystemConfig::ShowTabPage);
    ShowTabPage(0);
}

void CSystemConfig::ShowTabPage(int index) {
    if (index == 0 && deviceInfoPage_) {
        deviceInfoPage_->QueryButton()->setFocus();
    }
}

void CSystemConfig::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();  // Enter never presses a button of the pages
        return;
    }
    QDialog::keyPressEvent(event);
}

void OpenServiceSettings(QWidget* parent, Prompter& prompter, LocalAddressSource& addresses,
                         const std::optional<std::filesystem::path>& workingDir) {
    CSystemConfig dialog(prompter, addresses, workingDir, parent);
    dialog.exec();
}

void OpenServiceSettings(QWidget* parent, Prompter& prompter) {
    SystemLocalAddresses addresses;
    OpenServiceSettings(parent, prompter, addresses, CurrentWorkingDirectory());
}

std::unique_ptr<CSystemConfig> CreateDeviceDialog(QWidget* parent, ServiceEngine& engine,
                                                  Prompter& prompter, const std::string& key) {
    const DeviceRecord record = engine.FindDevice(key);
    if (!record) {
        return nullptr;
    }
    const std::string name = record->DeviceName();
    const QString shownName = FromCodePage(CodecOrDefault(engine.Config().codePage), name);
    if (record->reading) {
        prompter.Inform(parent,
                        QString::fromStdString(
                            FormatText(LoadText(ids::kDeviceIsReading), {shownName.toStdString()})),
                        Text(ids::kTips));
        return nullptr;
    }
    return std::make_unique<CSystemConfig>(engine, prompter, key, record->socket, shownName,
                                           parent);
}

bool OpenDeviceDialog(QWidget* parent, ServiceEngine& engine, Prompter& prompter,
                      const std::string& key) {
    const std::unique_ptr<CSystemConfig> dialog = CreateDeviceDialog(parent, engine, prompter, key);
    if (!dialog) {
        return false;
    }
    dialog->exec();
    return true;
}

}  // namespace trelvane
