#pragma once

// The presence view of the History window: the presence events of a range paired into visits,
// one per stay of a tag at a reader, with arrive and depart times and the dwell between.
//
// Pairing is per tag and device key (the service names readers per device, and a reader that
// was renamed keeps its device): a depart closes the open arrival of its pair. Within a range
// a visit may lack either end: a depart whose arrival lies before the range has no arrive
// time; an arrival still open at the range's end (or now) has no depart time. Neither gets a
// dwell: the window shows what the history holds, not a guess.
//
// Threading: plain values; the model lives on the user-interface thread.

#include <QAbstractTableModel>
#include <QStringList>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/Reader.h"

namespace trelvane {

struct Visit {
    std::uint32_t tag = 0;
    std::string reader;
    std::string device;
    std::optional<std::int64_t> arriveMs;
    std::optional<std::int64_t> departMs;
    std::optional<std::int64_t> DwellMs() const {
        if (arriveMs && departMs) {
            return *departMs - *arriveMs;
        }
        return std::nullopt;
    }
    friend bool operator==(const Visit&, const Visit&) = default;
};

class VisitBuilder {
  public:
    // Rows in sequence order.
    void Add(const history::PresenceRow& row);
    // The visits begun so far.
    std::size_t Size() const { return visits_.size(); }
    // The visits in the order of their first event (arrive, or depart when it has none).
    std::vector<Visit> Finish();

  private:
    std::vector<std::pair<std::uint64_t, Visit>> visits_;  // first seq, visit
    std::map<std::pair<std::uint32_t, std::string>, std::size_t> open_;
};

// "1:02:03" (hours unbounded), or "0:00:00.250" below a second.
std::string DwellText(std::int64_t ms);

class VisitModel final : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column : int { kTag, kReader, kDevice, kArrive, kDepart, kDwell, kColumns };

    explicit VisitModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

    void SetVisits(std::vector<Visit> visits);
    const std::vector<Visit>& Visits() const { return visits_; }
    void SetHeaders(QStringList headers);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  private:
    std::vector<Visit> visits_;
    QStringList headers_;
};

}  // namespace trelvane
