#pragma once

// The two small dialogs of the Assets and Zones window: one zone (its name and the readers
// ticked in a list), one asset (tag, label, group, note). Neither checks the values: OK hands
// them to the window, which stores them in the register and shows the register's message when
// it refuses them; the dialog then stays open with what was typed.
//
// Threading: the user-interface thread.

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "site/Register.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace trelvane {

// A reader the zone dialog offers: connected now, named in a zone, or both.
struct ReaderChoice {
    std::string name;  // UTF-8, as zones name readers
    bool connected = false;
    std::string zone;  // the zone that holds it now; empty: none
};

class ZoneDialog final : public QDialog {
    Q_OBJECT

  public:
    enum Column : int { kReader = 0, kConnected, kZone };

    // `zone`: the zone as it is (empty for a new one), its readers ticked. `apply` stores the
    // zone given; false keeps the dialog open.
    ZoneDialog(const QString& title, const site::Zone& zone,
               const std::vector<ReaderChoice>& readers,
               std::function<bool(const site::Zone&)> apply, QWidget* parent = nullptr);

    // The name typed (without blanks at its ends) and the ticked readers, in list order.
    site::Zone Chosen() const;
    // Ticks `name`, adding it to the list when it is not there (what Add does with the reader
    // typed below the list).
    void TickReader(const QString& name);

    QLineEdit* NameEdit() const { return name_; }
    QTreeWidget* ReaderList() const { return readers_; }
    QLineEdit* OtherReaderEdit() const { return other_; }

  public Q_SLOTS:
    void accept() override;

  private:
    std::function<bool(const site::Zone&)> apply_;
    QLineEdit* name_ = nullptr;
    QTreeWidget* readers_ = nullptr;
    QLineEdit* other_ = nullptr;
    QPushButton* addOther_ = nullptr;
};

class AssetDialog final : public QDialog {
    Q_OBJECT

  public:
    // `asset` given: that asset, whose tag cannot change (an asset is its tag); none: a new one.
    // `apply` stores what the dialog holds; false keeps the dialog open.
    AssetDialog(const QString& title, const std::optional<site::Asset>& asset,
                std::function<bool(const AssetDialog&)> apply, QWidget* parent = nullptr);

    QString TagText() const;
    QString Label() const;
    QString Group() const;
    QString Note() const;

    QLineEdit* TagEdit() const { return tag_; }
    QLineEdit* LabelEdit() const { return label_; }
    QLineEdit* GroupEdit() const { return group_; }
    QPlainTextEdit* NoteEdit() const { return note_; }

  public Q_SLOTS:
    void accept() override;

  private:
    std::function<bool(const AssetDialog&)> apply_;
    QLineEdit* tag_ = nullptr;
    QLineEdit* label_ = nullptr;
    QLineEdit* group_ = nullptr;
    QPlainTextEdit* note_ = nullptr;
};

}  // namespace trelvane
