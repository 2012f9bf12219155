#include "service/DeviceRegistry.h"

namespace trelvane {

std::string DeviceKey(const std::string& ip, int port) {
    return ip + ":" + std::to_string(port);
}

DeviceRecord DeviceTable::Find(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto it = map_.find(key);
    return it != map_.end() ? it->second : nullptr;
}

std::vector<DeviceTable::Entry> DeviceTable::Entries() const {
    std::lock_guard lock(mutex_);
    return {map_.begin(), map_.end()};
}

std::size_t DeviceTable::Size() const {
    std::lock_guard lock(mutex_);
    return map_.size();
}

DeviceTable::Registration DeviceTable::RegisterConnection(const std::string& key,
                                                          std::shared_ptr<DeviceSocket> socket,
                                                          const std::string& ip, int port,
                                                          const std::string& loginTimeText,
                                                          std::uint32_t tick) {
    std::shared_ptr<DeviceSocket> replaced;
    Registration result;
    {
        std::lock_guard lock(mutex_);
        const auto it = map_.find(key);
        if (it == map_.end()) {
            auto record = std::make_shared<CDeviceInfo>();
            record->ip = ip;
            record->port = port;
            record->loginTime = loginTimeText;
            record->SetText(DeviceText::kLastRegTime, loginTimeText);
            record->SetText(DeviceText::kDeviceName, key);
            record->socket = std::move(socket);
            record->online = true;
            record->lastActiveTick = tick;
            map_.emplace(key, record);
            result = {record, true};
        } else {
            CDeviceInfo& record = *it->second;
            replaced = std::exchange(record.socket, std::move(socket));
            record.SetText(DeviceText::kLastRegTime, loginTimeText);
            record.online = false;
            record.reading = false;
            record.clockSet = false;
            record.lastActiveTick = tick;
            result = {it->second, false};
        }
    }
    if (replaced && replaced != result.record->socket) {
        replaced->Close();
    }
    return result;
}

DeviceRecord DeviceTable::Erase(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto it = map_.find(key);
    if (it == map_.end()) {
        return nullptr;
    }
    DeviceRecord record = std::move(it->second);
    map_.erase(it);
    return record;
}

std::vector<DeviceTable::Entry> DeviceTable::EraseAll() {
    std::lock_guard lock(mutex_);
    std::vector<Entry> removed(std::make_move_iterator(map_.begin()),
                               std::make_move_iterator(map_.end()));
    map_.clear();
    return removed;
}

std::string DeviceListModel::Cell(std::size_t row, int column) const {
    const DeviceRow& r = rows_.at(row);
    switch (column) {
        case 0:
            return r.key;
        case 1:
            return std::to_string(r.number);
        case 2:
            return r.name;
        case 3:
            return r.loginTime;
        case 4:
            return r.lastRegTime;
        case 5:
            return std::to_string(r.tagCount);
        default:
            return {};
    }
}

std::optional<std::size_t> DeviceListModel::FindRow(const std::string& key) const {
    const auto it = index_.find(key);
    if (it == index_.end()) {
        return std::nullopt;
    }
    return it->second;
}

DeviceListModel::ShowResult DeviceListModel::ShowDeviceRow(const std::string& key,
                                                           const std::string& name,
                                                           std::int32_t tagCount,
                                                           const std::string& loginTime,
                                                           const std::string& lastRegTime) {
    if (const auto found = FindRow(key)) {
        DeviceRow& row = rows_[*found];
        row.lastRegTime = lastRegTime;
        row.tagCount = tagCount;
        return {*found, false};
    }
    const std::size_t n = rows_.size();
    rows_.push_back(
        DeviceRow{key, static_cast<int>(n + 1), name, loginTime, lastRegTime, tagCount});
    index_.emplace(key, n);
    return {n, true};
}

void DeviceListModel::Clear() {
    rows_.clear();
    index_.clear();
}

DeviceListModel::ShowResult ShowDeviceRow(DeviceListModel& list, const std::string& key,
                                          const CDeviceInfo& device) {
    return list.ShowDeviceRow(key, device.DeviceName(), device.tagCount, device.loginTime,
                              device.Text(DeviceText::kLastRegTime));
}

namespace {

void CloseAll(const std::vector<DeviceTable::Entry>& removed) {
    for (const auto& [key, record] : removed) {
        if (record->socket) {
            record->socket->Close();
        }
    }
}

}  // namespace

DeviceRecord RemoveDevice(DeviceTable& table, const std::string& key) {
    DeviceRecord record = table.Erase(key);
    if (record && record->socket) {
        record->socket->Close();
    }
    return record;
}

std::vector<DeviceTable::Entry> RemoveAllDevices(DeviceTable& table) {
    auto removed = table.EraseAll();
    CloseAll(removed);
    return removed;
}

std::vector<DeviceTable::Entry> RebuildDeviceList(DeviceTable& table, DeviceListModel& list,
                                                  bool expire, std::uint32_t now,
                                                  std::uint32_t timeoutMs) {
    list.Clear();
    // Marking and erasing happen under the table lock in one key-ordered walk, so a record is
    // judged and removed at the same moment; the rows are shown from the survivors afterwards.
    auto removed = table.EraseIf([&](CDeviceInfo& device) {
        if (expire && static_cast<std::uint32_t>(now - device.lastActiveTick) >= timeoutMs) {
            device.online = false;
        }
        return !device.online;
    });
    CloseAll(removed);
    for (const auto& [key, record] : table.Entries()) {
        const std::string name = record->DeviceName();
        if (record->online && name.size() < kListedNameLimit) {
            ShowDeviceRow(list, key, *record);
        }
    }
    return removed;
}

}  // namespace trelvane
