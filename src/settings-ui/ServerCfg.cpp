#include "settings-ui/ServerCfg.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "records/StringTable.h"
#include "records/TextCodec.h"
#include "settings-ui/ComboText.h"
#include "settings-ui/LocalAddresses.h"
#include "settings/IniFile.h"
#include "settings/ServiceConfig.h"
#include "ui-common/Prompter.h"
#include "ui-common/UiText.h"

namespace trelvane {
namespace {

using ui::Text;

// The code page SysConf.ini's texts are in: the hand-edited CodePage key when the file names
// one, else the program's own.
TextCodec FileCodec(const std::optional<std::filesystem::path>& workingDir) {
    std::optional<ServiceConfig> config;
    if (workingDir) {
        config = ReadServiceConfig(*workingDir);
    }
    return CodecOrDefault(config ? config->codePage : kDefaultCodePage);
}

// The port text as an unsigned decimal number, saturated so that overlong digit strings still
// compare above the range; nullopt when it is not a number at all.
std::optional<unsigned long long> ParsePort(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (const QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
        value = std::min<unsigned long long>(value * 10 + static_cast<unsigned>(c.unicode() - '0'),
                                             1ull << 40);
    }
    return value;
}

QComboBox* MakeChoiceBox(QWidget* parent, const auto& choices) {
    auto* box = new QComboBox(parent);
    box->setEditable(true);
    // Typed text is a value of its own, not a new list entry.
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setDuplicatesEnabled(false);
    for (const std::string_view choice : choices) {
        box->addItem(QString::fromUtf8(choice.data(), static_cast<qsizetype>(choice.size())));
    }
    box->setCurrentIndex(-1);
    return box;
}

}  // namespace

CServerCfg::CServerCfg(Prompter& prompter, LocalAddressSource& addresses,
                       std::optional<std::filesystem::path> workingDir, QWidget* parent)
    : QWidget(parent),
      prompter_(prompter),
      addresses_(addresses),
      workingDir_(std::move(workingDir)),
      port_(kDefaultPort) {
    BuildControls();
}

void CServerCfg::BuildControls() {
    auto* serviceGroup = new QGroupBox(QStringLiteral("Service Setting"), this);
    addressBox_ = new QComboBox(serviceGroup);
    addressBox_->setEditable(false);
    addressBox_->setMinimumContentsLength(15);  // "255.255.255.255"
    portEdit_ = new QLineEdit(serviceGroup);
    portEdit_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), portEdit_));
    auto* serviceGrid = new QGridLayout(serviceGroup);
    serviceGrid->addWidget(new QLabel(QStringLiteral("IP"), serviceGroup), 0, 0);
    serviceGrid->addWidget(addressBox_, 0, 1, 1, 2);
    serviceGrid->addWidget(new QLabel(QStringLiteral("Port"), serviceGroup), 1, 0);
    serviceGrid->addWidget(portEdit_, 1, 1);
    serviceGrid->addWidget(new QLabel(QStringLiteral("(0-65535)"), serviceGroup), 1, 2);
    serviceGrid->setColumnStretch(1, 1);

    auto* intervalGroup = new QGroupBox(QStringLiteral("Interval"), this);
    registrationBox_ = MakeChoiceBox(intervalGroup, kRegistrationChoices);
    refreshBox_ = MakeChoiceBox(intervalGroup, kRefreshChoices);
    auto* intervalGrid = new QGridLayout(intervalGroup);
    intervalGrid->addWidget(new QLabel(QStringLiteral("Registration"), intervalGroup), 0, 0);
    intervalGrid->addWidget(registrationBox_, 0, 1);
    intervalGrid->addWidget(new QLabel(QStringLiteral("(Min)"), intervalGroup), 0, 2);
    intervalGrid->addWidget(new QLabel(QStringLiteral("Refresh"), intervalGroup), 1, 0);
    intervalGrid->addWidget(refreshBox_, 1, 1);
    intervalGrid->addWidget(new QLabel(QStringLiteral("(Sec)"), intervalGroup), 1, 2);
    intervalGrid->setColumnStretch(1, 1);
    // Line the two groups' fields up under each other.
    const int labelWidth =
        std::max(serviceGrid->itemAtPosition(0, 0)->widget()->sizeHint().width(),
                 intervalGrid->itemAtPosition(0, 0)->widget()->sizeHint().width());
    serviceGrid->setColumnMinimumWidth(0, labelWidth);
    intervalGrid->setColumnMinimumWidth(0, labelWidth);
    const int unitWidth =
        std::max(serviceGrid->itemAtPosition(1, 2)->widget()->sizeHint().width(),
                 intervalGrid->itemAtPosition(0, 2)->widget()->sizeHint().width());
    serviceGrid->setColumnMinimumWidth(2, unitWidth);
    intervalGrid->setColumnMinimumWidth(2, unitWidth);

    okButton_ = new QPushButton(QStringLiteral("OK"), this);
    defaultButton_ = new QPushButton(QStringLiteral("Default"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(okButton_);
    buttons->addWidget(defaultButton_);

    auto* page = new QVBoxLayout(this);
    page->addWidget(serviceGroup);
    page->addWidget(intervalGroup);
    page->addStretch(1);
    page->addLayout(buttons);

    for (QPushButton* button : {okButton_, defaultButton_}) {
        // Enter moves between fields here; it never presses a button.
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(addressBox_, portEdit_);
    setTabOrder(portEdit_, registrationBox_);
    setTabOrder(registrationBox_, refreshBox_);
    setTabOrder(refreshBox_, okButton_);
    setTabOrder(okButton_, defaultButton_);

    connect(okButton_, &QPushButton::clicked, this, &CServerCfg::Ok);
    connect(defaultButton_, &QPushButton::clicked, this, &CServerCfg::ResetToDefaults);
    // Only what the user types is trimmed; a stored port out of range is shown as it is and
    // refused by the range check when saving.
    connect(portEdit_, &QLineEdit::textEdited, this, &CServerCfg::OnPortEdited);

    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
}

void CServerCfg::Initialise() {
    const LocalAddressList local = addresses_.Fetch();
    if (local.status == LocalAddressList::Status::kResolveFailed) {
        // A fixed text with the program's own caption, as it has always been shown.
        prompter_.Inform(window(), ui::Own(ids::kResolveFailed), Text(ids::kAppTitle),
                         Prompter::Icon::kInformation);
    }
    if (local.status != LocalAddressList::Status::kOk || local.addresses.isEmpty()) {
        Tell(ids::kNoLocalIp, ids::kTips);
        PushFields();
        return;
    }
    addressBox_->addItems(local.addresses);
    addressBox_->setCurrentIndex(-1);

    const std::optional<PageSettings> stored =
        workingDir_ ? ReadPageSettings(*workingDir_) : std::nullopt;
    if (stored) {
        const TextCodec codec = FileCodec(workingDir_);
        addressText_ = FromCodePage(codec, stored->serviceIp);
        port_ = stored->port;
        registrationText_ = FromCodePage(codec, stored->loginTime);
        refreshText_ = FromCodePage(codec, stored->refreshTime);
    } else {
        port_ = kDefaultPort;
        PushFields();
        SelectDefaultEntries();
        PullFields();
    }
    PushFields();
    if (stored) {
        // Every entry begins with an empty text, so an emptied value in the file selects the
        // first entry: it comes back as a usable value instead of being saved empty again (an
        // empty address or registration time would stop the service from working).
        for (auto [box, text] : {std::pair{addressBox_, &addressText_},
                                 std::pair{registrationBox_, &registrationText_},
                                 std::pair{refreshBox_, &refreshText_}}) {
            if (text->isEmpty() && box->count() > 0) {
                box->setCurrentIndex(0);
            }
        }
    }
}

void CServerCfg::ResetToDefaults() {
    port_ = kDefaultPort;
    PushFields();
    SelectDefaultEntries();
    PullFields();
}

void CServerCfg::SelectDefaultEntries() {
    if (addressBox_->count() > 0) {
        addressBox_->setCurrentIndex(0);
    }
    const auto indexOf = [](const auto& choices, std::string_view value) {
        return static_cast<int>(std::find(choices.begin(), choices.end(), value) - choices.begin());
    };
    registrationBox_->setCurrentIndex(indexOf(kRegistrationChoices, kDefaultRegistration));
    refreshBox_->setCurrentIndex(indexOf(kRefreshChoices, kDefaultRefresh));
}

void CServerCfg::PushFields() {
    for (auto [box, text] :
         {std::pair{registrationBox_, &registrationText_}, std::pair{refreshBox_, &refreshText_}}) {
        if (!SelectEntry(*box, *text, /*prefixMatch=*/true)) {
            box->setCurrentIndex(-1);
            box->setEditText(*text);
        }
    }
    portEdit_->setText(QString::number(port_));
    // An address names one interface: a stored address that is only the beginning of a local
    // one ("10.0.0.1" of "10.0.0.15") is not that address. Unmatched, the list keeps its
    // selection.
    SelectEntry(*addressBox_, addressText_, /*prefixMatch=*/false);
}

bool CServerCfg::PullFields() {
    registrationText_ = registrationBox_->currentText();
    refreshText_ = refreshBox_->currentText();

    const std::optional<unsigned long long> port = ParsePort(portEdit_->text());
    QString refusal;
    if (!port) {
        refusal = Text(ids::kEnterPositive);
    } else if (*port > kMaxPort) {
        refusal = Text(ids::kEnterInteger).arg(0).arg(kMaxPort);
    }
    if (!refusal.isEmpty()) {
        prompter_.Inform(window(), refusal, Text(ids::kAppTitle), Prompter::Icon::kWarning);
        portEdit_->setFocus();
        portEdit_->selectAll();
        return false;
    }
    port_ = static_cast<unsigned>(*port);

    addressText_ = addressBox_->currentIndex() >= 0 ? addressBox_->currentText() : QString();
    return true;
}

void CServerCfg::Ok() {
    // A refused port stops the save: nothing half-validated reaches the file.
    if (!PullFields()) {
        return;
    }
    bool saved = false;
    if (workingDir_) {
        const TextCodec codec = FileCodec(workingDir_);
        const PageSettings page{ToCodePage(codec, addressText_), port_,
                                ToCodePage(codec, registrationText_),
                                ToCodePage(codec, refreshText_)};
        saved = WritePageSettings(*workingDir_, page);
    }
    if (!saved) {
        // Read-only file, no rights in the folder, or a text that cannot be stored: the user
        // must not be told the settings were kept.
        prompter_.Inform(window(), Text(ids::kFailedToSet), Text(ids::kError),
                         Prompter::Icon::kError);
        return;
    }
    Tell(ids::kSetSuccess, ids::kTips);
}

void CServerCfg::OnPortEdited(const QString& text) {
    if (LeadingInteger(text.toStdString()) <= static_cast<int>(kMaxPort)) {
        return;
    }
    // Drop trailing characters until the value fits again: a sixth digit, or a fifth that
    // takes the value past 65535, is refused. One beep per refused edit, even for a long paste.
    prompter_.Beep();
    QString shortened = text;
    while (!shortened.isEmpty() &&
           LeadingInteger(shortened.toStdString()) > static_cast<int>(kMaxPort)) {
        shortened.chop(1);
    }
    portEdit_->setText(shortened);
}

bool CServerCfg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return QWidget::eventFilter(watched, event);
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Escape) {
        return true;  // Escape does not close the settings from inside the page
    }
    if (key != Qt::Key_Return && key != Qt::Key_Enter) {
        return QWidget::eventFilter(watched, event);
    }
    // Enter moves to the next control of the page, wrapping at its end.
    const std::array<QWidget*, 6> order = {addressBox_, portEdit_, registrationBox_,
                                           refreshBox_, okButton_, defaultButton_};
    auto* current = qobject_cast<QWidget*>(watched);
    std::size_t at = order.size() - 1;  // nothing of ours has focus: start at the first
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (order[i] == current || order[i]->isAncestorOf(current)) {
            at = i;
            break;
        }
    }
    for (std::size_t step = 1; step <= order.size(); ++step) {
        QWidget* next = order[(at + step) % order.size()];
        if (next->isEnabled() && next->isVisibleTo(this)) {
            next->setFocus(Qt::TabFocusReason);
            break;
        }
    }
    return true;
}

void CServerCfg::Tell(int textId, int captionId) {
    prompter_.Inform(window(), Text(textId), Text(captionId), Prompter::Icon::kInformation);
}

}  // namespace trelvane
