#pragma once

// The device table (every accepted connection, keyed "ip:port") and the device list model (the
// rows an operator sees: registered, live devices in key order).
//
// Locking: one mutex guards the table's membership; it is held only for map operations, never
// while a socket is closed (closing may run socket callbacks that look the table up again).
// Membership changes (register, erase, rebuild) happen on the event-loop thread; finds and
// snapshots may come from any thread and return shared_ptrs that stay valid after erasure.
// The list model belongs to the event-loop thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/DeviceInfo.h"

namespace trelvane {

// Names shorter than this are listed by a rebuild; a device key is at least 9 characters
// ("1.2.3.4:5"), so a device that has not reported a name is never listed.
inline constexpr std::size_t kListedNameLimit = 9;

class DeviceTable {
  public:
    using Entry = std::pair<std::string, DeviceRecord>;

    DeviceRecord Find(const std::string& key) const;
    // The entries in key order (byte-wise comparison of the key texts).
    std::vector<Entry> Entries() const;
    std::size_t Size() const;

    struct Registration {
        DeviceRecord record;
        bool created = false;
    };
    // Creates the record for a new key, or refreshes the existing one for a reconnect from the
    // same address and port: new socket, lastRegTime = loginTimeText, online/reading/clockSet
    // cleared, lastActiveTick = tick; name, login time, identity, counters and buffer stay.
    // The socket a refreshed record held before is closed: it belongs to a connection that
    // the peer has replaced.
    Registration RegisterConnection(const std::string& key, std::shared_ptr<DeviceSocket> socket,
                                    const std::string& ip, int port,
                                    const std::string& loginTimeText, std::uint32_t tick);

    // Removes the entry and returns its record (nullptr when absent). Does not close anything.
    DeviceRecord Erase(const std::string& key);
    // Removes every entry whose record satisfies `pred`, walking in key order, and returns them.
    template <typename Pred>
    std::vector<Entry> EraseIf(Pred pred);
    std::vector<Entry> EraseAll();

  private:
    mutable std::mutex mutex_;
    std::map<std::string, DeviceRecord> map_;
};

struct DeviceRow {
    std::string key;  // hidden column 0
    int number = 0;   // "No.", fixed when the row is added
    std::string name;
    std::string loginTime;
    std::string lastRegTime;
    std::int32_t tagCount = 0;
};

class DeviceListModel {
  public:
    static constexpr int kColumnCount = 6;

    std::size_t RowCount() const { return rows_.size(); }
    const DeviceRow& Row(std::size_t row) const { return rows_[row]; }
    // Column texts: 0 key, 1 number, 2 name, 3 login time, 4 last reg time, 5 tag count.
    std::string Cell(std::size_t row, int column) const;
    std::optional<std::size_t> FindRow(const std::string& key) const;

    struct ShowResult {
        std::size_t row = 0;
        bool appended = false;
    };
    // Appends a row for a key not listed yet (number = row count + 1); for a listed key only the
    // last registration time and the tag count change.
    ShowResult ShowDeviceRow(const std::string& key, const std::string& name, std::int32_t tagCount,
                             const std::string& loginTime, const std::string& lastRegTime);
    void Clear();

  private:
    std::vector<DeviceRow> rows_;
    std::unordered_map<std::string, std::size_t> index_;
};

// Shows a record's row from its current fields.
DeviceListModel::ShowResult ShowDeviceRow(DeviceListModel& list, const std::string& key,
                                          const CDeviceInfo& device);

// Closes the device's socket and drops it from the table. Returns the record, or nullptr when
// the key was not registered.
DeviceRecord RemoveDevice(DeviceTable& table, const std::string& key);

// Closes every socket and empties the table; returns what was removed, in key order.
std::vector<DeviceTable::Entry> RemoveAllDevices(DeviceTable& table);

// Empties the list and refills it in key order from the live devices whose name is shorter
// than kListedNameLimit. With `expire`, a device silent for at least `timeoutMs` (32-bit tick
// arithmetic, right across the wrap) is marked offline first. Offline devices are closed and
// removed in the same pass; they are returned in key order.
std::vector<DeviceTable::Entry> RebuildDeviceList(DeviceTable& table, DeviceListModel& list,
                                                  bool expire, std::uint32_t now,
                                                  std::uint32_t timeoutMs);

// ---- implementation of the template ----

template <typename Pred>
std::vector<DeviceTable::Entry> DeviceTable::EraseIf(Pred pred) {
    std::vector<Entry> removed;
    std::lock_guard lock(mutex_);
    for (auto it = map_.begin(); it != map_.end();) {
        if (pred(*it->second)) {
            removed.emplace_back(it->first, std::move(it->second));
            it = map_.erase(it);
        } else {
            ++it;
        }
    }
    return removed;
}

}  // namespace trelvane
