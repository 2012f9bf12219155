#include "settings-ui/DevicePage.h"

#include "records/StringTable.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {

DevicePage::DevicePage(ServiceEngine& engine, Prompter& prompter, std::string key,
                       std::shared_ptr<DeviceSocket> socket, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      prompter_(prompter),
      key_(std::move(key)),
      socket_(std::move(socket)),
      keyText_(QString::fromStdString(key_)) {}

void DevicePage::Tell(int textId) {
    prompter_.Inform(window(), ui::Text(textId), ui::Text(ids::kTips));
}

}  // namespace trelvane
