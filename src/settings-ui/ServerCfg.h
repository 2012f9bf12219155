#pragma once

// The Service Setting page: the address and port the service listens on and the two
// supervision intervals, loaded from SysConf.ini when the page opens and saved by OK.
//
// The page keeps its values in four fields and exchanges them with the controls in one order
// (Registration, Refresh, Port, IP). Pushing a text into a combo box selects the entry that
// begins with it (an exact entry first); the editable boxes show an unmatched text in their edit
// field, the address list must match an address exactly. Pulling validates the port and stops
// at the first failure, leaving the port and address as they were.
//
// Everything runs on the user-interface thread.

#include <QString>
#include <QWidget>
#include <filesystem>
#include <optional>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace trelvane {

class LocalAddressSource;
class Prompter;

class CServerCfg final : public QWidget {
    Q_OBJECT

  public:
    static constexpr unsigned kMaxPort = 65535;

    // `workingDir`: the folder of SysConf.ini; nullopt when the process cannot name its working
    // folder (the page then shows its defaults and cannot save).
    CServerCfg(Prompter& prompter, LocalAddressSource& addresses,
               std::optional<std::filesystem::path> workingDir, QWidget* parent = nullptr);

    // Lists the local addresses and shows the stored values (or the defaults when there is no
    // file). Prompts when there is no address; the page then stays empty.
    void Initialise();

    // The buttons' actions.
    void Ok();
    void ResetToDefaults();

    QComboBox* AddressBox() const { return addressBox_; }
    QLineEdit* PortEdit() const { return portEdit_; }
    QComboBox* RegistrationBox() const { return registrationBox_; }
    QComboBox* RefreshBox() const { return refreshBox_; }
    QPushButton* OkButton() const { return okButton_; }
    QPushButton* DefaultButton() const { return defaultButton_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildControls();
    void PushFields();
    // False when the port is refused (after its prompt).
    bool PullFields();
    void SelectDefaultEntries();
    void OnPortEdited(const QString& text);
    void Tell(int textId, int captionId);

    Prompter& prompter_;
    LocalAddressSource& addresses_;
    const std::optional<std::filesystem::path> workingDir_;

    QString registrationText_;
    QString refreshText_;
    unsigned port_;
    QString addressText_;

    QComboBox* addressBox_ = nullptr;
    QLineEdit* portEdit_ = nullptr;
    QComboBox* registrationBox_ = nullptr;
    QComboBox* refreshBox_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QPushButton* defaultButton_ = nullptr;
};

}  // namespace trelvane
