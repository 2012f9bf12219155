#pragma once

// Real history files in fresh temporary folders, batches built from owned strings, and a
// brute-force model of what was appended to compare queries with.

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "history/Reader.h"
#include "history/Writer.h"
#include "support/TempFolder.h"

namespace trelvane::test {

// The writer / reader of a test's database; a failure to open ends the test program (nothing
// after it could mean anything).
inline history::Writer OpenWriter(const history::Options& options) {
    history::Result<history::Writer> w = history::Writer::Open(options);
    if (!w.ok()) {
        ADD_FAILURE() << w.error().text;
        std::abort();
    }
    return std::move(w).value();
}

inline history::Reader OpenReader(const std::filesystem::path& db) {
    history::Result<history::Reader> r = history::Reader::Open(db);
    if (!r.ok()) {
        ADD_FAILURE() << r.error().text;
        std::abort();
    }
    return std::move(r).value();
}

// A temporary folder for a test's history database.
class HistoryDir : public TempFolder {
  public:
    std::filesystem::path Db() const { return Path() / "trelvane.db"; }
};

// Owns every string a batch's views point at, and keeps what was appended as rows.
class BatchBuilder {
  public:
    std::string_view Keep(std::string text) { return strings_.emplace_back(std::move(text)); }

    void AddRead(std::uint64_t seq, std::int64_t time, std::uint32_t tag, std::string reader,
                 std::string device, std::optional<ReaderTime> readerTime = std::nullopt) {
        reads_.push_back(history::Read{seq, time, tag, Keep(reader), Keep(device), readerTime});
    }
    void AddDevice(std::uint64_t seq, std::int64_t time, history::DeviceEventKind kind,
                   std::string reader, std::string device) {
        devices_.push_back(history::DeviceEvent{seq, time, kind, Keep(reader), Keep(device)});
    }
    void AddPresence(std::uint64_t seq, std::int64_t time, std::uint32_t tag,
                     history::PresenceKind kind, std::string reader, std::string device) {
        presence_.push_back(
            history::PresenceEvent{seq, time, tag, Keep(reader), Keep(device), kind});
    }

    // An enter's since and last seen are its own time.
    void AddEnter(std::uint64_t seq, std::int64_t time, std::uint32_t tag, std::string zone,
                  std::string reader, std::string device) {
        zones_.push_back(history::ZoneEvent{seq, time, tag, Keep(zone),
                                            history::ZoneEventKind::kEnter, Keep(reader),
                                            Keep(device), time, time});
    }
    void AddExit(std::uint64_t seq, std::int64_t time, std::uint32_t tag, std::string zone,
                 std::string reader, std::string device, std::int64_t since,
                 std::int64_t lastSeen) {
        zones_.push_back(history::ZoneEvent{seq, time, tag, Keep(zone),
                                            history::ZoneEventKind::kExit, Keep(reader),
                                            Keep(device), since, lastSeen});
    }

    // The alert's texts are kept here; the batch gets a view of it.
    void AddAlert(const history::AlertRow& a) {
        alerts_.push_back(history::AlertEvent{a.seq, a.timeMs, a.kind, a.raised, Keep(a.rule),
                                              a.ruleKind, a.tag, Keep(a.zone), Keep(a.reader),
                                              a.sinceMs, Keep(a.text), Keep(a.by)});
    }

    history::Batch Batch() const {
        return history::Batch{reads_, devices_, presence_, zones_, {}, alerts_};
    }
    bool Empty() const {
        return reads_.empty() && devices_.empty() && presence_.empty() && zones_.empty() &&
               alerts_.empty();
    }
    void Clear() {
        reads_.clear();
        devices_.clear();
        presence_.clear();
        zones_.clear();
        alerts_.clear();
        strings_.clear();
    }

    const std::vector<history::Read>& Reads() const { return reads_; }
    const std::vector<history::DeviceEvent>& Devices() const { return devices_; }
    const std::vector<history::PresenceEvent>& Presence() const { return presence_; }
    const std::vector<history::ZoneEvent>& Zones() const { return zones_; }
    const std::vector<history::AlertEvent>& Alerts() const { return alerts_; }

  private:
    std::deque<std::string> strings_;
    std::vector<history::Read> reads_;
    std::vector<history::DeviceEvent> devices_;
    std::vector<history::PresenceEvent> presence_;
    std::vector<history::ZoneEvent> zones_;
    std::vector<history::AlertEvent> alerts_;
};

// Everything appended, as the queries return it.
struct Model {
    std::vector<history::ReadRow> reads;
    std::vector<history::PresenceRow> presence;
    std::vector<history::DeviceRow> devices;
    std::vector<history::ZoneRow> zones;
    std::vector<history::AlertRow> alerts;

    void Take(const BatchBuilder& b) {
        for (const auto& r : b.Reads()) {
            reads.push_back({r.seq, r.timeMs, r.tag, std::string(r.reader), std::string(r.device),
                             r.readerTime});
        }
        for (const auto& p : b.Presence()) {
            presence.push_back(
                {p.seq, p.timeMs, p.tag, std::string(p.reader), std::string(p.device), p.kind});
        }
        for (const auto& d : b.Devices()) {
            devices.push_back(
                {d.seq, d.timeMs, d.kind, std::string(d.reader), std::string(d.device)});
        }
        for (const auto& z : b.Zones()) {
            zones.push_back({z.seq, z.timeMs, z.tag, std::string(z.zone), z.kind,
                             std::string(z.reader), std::string(z.device), z.sinceMs,
                             z.lastSeenMs});
        }
        for (const auto& a : b.Alerts()) {
            alerts.push_back({a.seq, a.timeMs, a.kind, a.raised, std::string(a.rule), a.ruleKind,
                              a.tag, std::string(a.zone), std::string(a.reader), a.sinceMs,
                              std::string(a.text), std::string(a.by)});
        }
    }

    template <class Row>
    static bool Matches(const Row& row, const history::Filter& f) {
        if (row.seq <= f.afterSeq || (f.throughSeq && row.seq > *f.throughSeq) ||
            (f.sinceMs && row.timeMs < *f.sinceMs) || (f.untilMs && row.timeMs >= *f.untilMs)) {
            return false;
        }
        if constexpr (requires { row.device; }) {
            if (f.reader && row.reader != *f.reader && row.device != *f.reader) {
                return false;
            }
        } else if (f.reader && row.reader != *f.reader) {
            return false;  // an alert names its reader only
        }
        if constexpr (requires { row.tag; }) {
            if (f.tag && row.tag != *f.tag) {
                return false;
            }
        } else if (f.tag) {
            return false;
        }
        if constexpr (requires { row.zone; }) {
            if (f.zone && row.zone != *f.zone) {
                return false;
            }
        } else if (f.zone) {
            return false;
        }
        if constexpr (requires { row.rule; }) {
            if (f.rule && row.rule != *f.rule) {
                return false;
            }
        } else if (f.rule) {
            return false;
        }
        return true;
    }

    template <class Row>
    static std::vector<Row> Select(std::vector<Row> rows, const history::Filter& f) {
        std::sort(rows.begin(), rows.end(),
                  [](const Row& a, const Row& b) { return a.seq < b.seq; });
        std::vector<Row> out;
        for (const Row& row : rows) {
            if (out.size() < f.limit && Matches(row, f)) {
                out.push_back(row);
            }
        }
        return out;
    }
};

inline history::Filter TagFilter(std::uint32_t tag) {
    history::Filter f;
    f.tag = tag;
    return f;
}
inline history::Filter Unlimited() {
    history::Filter f;
    f.limit = SIZE_MAX;
    return f;
}

// Every row of a query by pages of `page` rows, following afterSeq until an empty page.
template <class Query>
auto AllPages(Query&& query, history::Filter f, std::size_t page) {
    f.limit = page;
    std::remove_cvref_t<decltype(query(f).value())> all;
    for (int guard = 0; guard < 1000000; ++guard) {
        auto rows = query(f);
        if (!rows.ok()) {
            ADD_FAILURE() << rows.error().text;
            break;
        }
        if (rows->empty()) {
            break;
        }
        EXPECT_LE(rows->size(), page);
        f.afterSeq = rows->back().seq;
        all.insert(all.end(), rows->begin(), rows->end());
    }
    return all;
}

// One integer from the database through a connection of its own (e.g. a PRAGMA).
inline std::int64_t SqlInt(const std::filesystem::path& db, const char* text) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    std::int64_t v = -1;
    if (sqlite3_prepare_v2(h, text, -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        v = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    sqlite3_close(h);
    return v;
}

// A reader name that needs CSV quoting (a comma, a quote and a newline).
inline constexpr const char* kSampleOddName = "Dock \"B\", east\nside";

// Six events from `morning` on (sequence numbers 1-6): a reader connecting and naming itself
// kSampleOddName, a read with the reader's time and the tag's arrival there, then a read by a
// reader with a non-ASCII name (UTF-8) without it, and that reader stopping.
inline void AddSampleEvents(BatchBuilder& b, std::int64_t morning) {
    using history::DeviceEventKind;
    const std::string odd = kSampleOddName;
    b.AddDevice(1, morning, DeviceEventKind::kConnected, "10.0.0.7:4001", "10.0.0.7:4001");
    b.AddDevice(2, morning + 5, DeviceEventKind::kNamed, odd, "10.0.0.7:4001");
    b.AddRead(3, morning + 1250, 3735928559u, odd, "10.0.0.7:4001", ReaderTime{26, 12, 8, 9, 0, 1});
    b.AddPresence(4, morning + 1250, 3735928559u, history::PresenceKind::kArrive, odd,
                  "10.0.0.7:4001");
    b.AddRead(5, morning + 61000, 42, "门禁 北", "10.0.0.8:4001");
    b.AddDevice(6, morning + 62000, DeviceEventKind::kReadingStopped, "门禁 北", "10.0.0.8:4001");
}

}  // namespace trelvane::test
