#include "service/DeviceRegistry.h"

#include <gtest/gtest.h>

#include <thread>

namespace trelvane {
namespace {

class FakeSocket final : public DeviceSocket {
  public:
    bool SendBytes(std::span<const std::uint8_t>) override { return open; }
    void Close() override {
        open = false;
        ++closes;
    }
    bool IsOpen() const override { return open; }
    bool open = true;
    int closes = 0;
};

struct Registry {
    DeviceTable table;
    DeviceListModel list;

    std::shared_ptr<FakeSocket> Accept(const std::string& ip, int port, std::uint32_t tick = 0,
                                       const std::string& at = "2026-03-08 09:00:00") {
        auto socket = std::make_shared<FakeSocket>();
        table.RegisterConnection(DeviceKey(ip, port), socket, ip, port, at, tick);
        return socket;
    }
    void Name(const std::string& key, const std::string& name) {
        table.Find(key)->SetText(DeviceText::kDeviceName, name);
    }
    std::vector<std::string> Column(int column) const {
        std::vector<std::string> cells;
        for (std::size_t r = 0; r < list.RowCount(); ++r) {
            cells.push_back(list.Cell(r, column));
        }
        return cells;
    }
};

using Strings = std::vector<std::string>;

TEST(DeviceRegistry, KeysSortByteWiseAndRowsRenumber) {
    Registry r;
    r.Accept("10.0.0.7", 999);
    r.Accept("10.0.0.7", 4001);
    r.Accept("10.0.0.7", 500);
    r.Accept("10.0.0.7", 5001);
    r.Name("10.0.0.7:999", "D999");
    r.Name("10.0.0.7:4001", "D4001");
    r.Name("10.0.0.7:500", "D500");
    r.Name("10.0.0.7:5001", "D5001");
    RebuildDeviceList(r.table, r.list, false, 0, 60000);
    EXPECT_EQ(r.Column(0),
              (Strings{"10.0.0.7:4001", "10.0.0.7:500", "10.0.0.7:5001", "10.0.0.7:999"}));
    EXPECT_EQ(r.Column(1), (Strings{"1", "2", "3", "4"}));

    // Showing one key never touches the row of a key it is a prefix of.
    r.table.Find("10.0.0.7:500")->tagCount = 7;
    ShowDeviceRow(r.list, "10.0.0.7:500", *r.table.Find("10.0.0.7:500"));
    EXPECT_EQ(r.Column(5), (Strings{"0", "7", "0", "0"}));

    RemoveDevice(r.table, "10.0.0.7:500");
    RebuildDeviceList(r.table, r.list, false, 0, 60000);
    EXPECT_EQ(r.Column(2), (Strings{"D4001", "D5001", "D999"}));
    EXPECT_EQ(r.Column(1), (Strings{"1", "2", "3"}));
}

TEST(DeviceRegistry, UnnamedAndLongNamedDevicesAreNotListedByARebuild) {
    Registry r;
    r.Accept("1.2.3.4", 5);  // key "1.2.3.4:5": 9 characters, the shortest possible
    r.Accept("10.0.0.1", 1);
    r.Accept("10.0.0.2", 2);
    r.Name("10.0.0.1:1", "EIGHTCHR");
    r.Name("10.0.0.2:2", "NINECHARS");
    RebuildDeviceList(r.table, r.list, false, 0, 60000);
    EXPECT_EQ(r.Column(2), (Strings{"EIGHTCHR"}));
    EXPECT_EQ(r.table.Size(), 3u) << "unlisted devices stay registered";

    // A name report shows the row at once, whatever its length, until the next rebuild.
    ShowDeviceRow(r.list, "10.0.0.2:2", *r.table.Find("10.0.0.2:2"));
    EXPECT_EQ(r.Column(2), (Strings{"EIGHTCHR", "NINECHARS"}));
    EXPECT_EQ(r.Column(1), (Strings{"1", "2"}));
    RebuildDeviceList(r.table, r.list, false, 0, 60000);
    EXPECT_EQ(r.Column(2), (Strings{"EIGHTCHR"}));
}

TEST(DeviceRegistry, ShowRowUpdatesOnlyTimeAndCount) {
    Registry r;
    r.Accept("10.0.0.9", 1);
    r.Name("10.0.0.9:1", "R01");
    auto& d = *r.table.Find("10.0.0.9:1");
    EXPECT_TRUE(ShowDeviceRow(r.list, "10.0.0.9:1", d).appended);
    d.SetText(DeviceText::kDeviceName, "R02");
    d.SetText(DeviceText::kLastRegTime, "2026-03-08 10:00:00");
    d.tagCount = 3;
    const auto shown = ShowDeviceRow(r.list, "10.0.0.9:1", d);
    EXPECT_FALSE(shown.appended);
    EXPECT_EQ(r.list.Cell(0, 2), "R01") << "the name column keeps its text";
    EXPECT_EQ(r.list.Cell(0, 3), "2026-03-08 09:00:00");
    EXPECT_EQ(r.list.Cell(0, 4), "2026-03-08 10:00:00");
    EXPECT_EQ(r.list.Cell(0, 5), "3");
}

TEST(DeviceRegistry, ReconnectFromTheSameAddressAndPortRefreshesTheRecord) {
    Registry r;
    auto first = r.Accept("10.0.0.3", 4001, 100, "2026-03-08 09:00:00");
    auto& d = *r.table.Find("10.0.0.3:4001");
    r.Name("10.0.0.3:4001", "R07");
    d.tagCount = 42;
    d.reading = true;
    d.clockSet = true;
    d.atten = 5;

    auto second = r.Accept("10.0.0.3", 4001, 9000, "2026-03-08 09:30:00");
    EXPECT_EQ(r.table.Size(), 1u);
    EXPECT_EQ(first->closes, 1) << "the replaced connection is closed";
    EXPECT_EQ(second->closes, 0);
    EXPECT_EQ(d.socket, second);
    EXPECT_EQ(d.loginTime, "2026-03-08 09:00:00");
    EXPECT_EQ(d.Text(DeviceText::kLastRegTime), "2026-03-08 09:30:00");
    EXPECT_EQ(d.DeviceName(), "R07");
    EXPECT_EQ(d.tagCount, 42);
    EXPECT_EQ(d.atten, 5);
    EXPECT_FALSE(d.reading);
    EXPECT_FALSE(d.clockSet);
    EXPECT_FALSE(d.online);
    EXPECT_EQ(d.lastActiveTick, 9000u);

    // Offline: gone at the next rebuild, with or without expiry, unless data revives it.
    RebuildDeviceList(r.table, r.list, false, 9000, 60000);
    EXPECT_EQ(r.table.Size(), 0u);
    EXPECT_EQ(second->closes, 1);
}

TEST(DeviceRegistry, ExpiryCountsSilenceInWrappingTicks) {
    Registry r;
    constexpr std::uint32_t kTimeout = 60000;
    r.Accept("10.0.0.1", 1, 0xFFFFF000u);  // active 4096 ms before the wrap
    r.Accept("10.0.0.2", 2, 0xFFFF0000u);  // active 65536 ms before the wrap
    r.Accept("10.0.0.3", 3, 0xFFFFF000u);
    r.Accept("10.0.0.4", 4, 0xFFFF0000u);  // two expired records next to each other
    for (const auto& [key, d] : r.table.Entries()) {
        d->SetText(DeviceText::kDeviceName, "N" + key.substr(key.size() - 1));
    }
    const std::uint32_t now = 0x00000100u;  // the tick has wrapped
    auto removed = RebuildDeviceList(r.table, r.list, true, now, kTimeout);
    ASSERT_EQ(removed.size(), 2u);
    EXPECT_EQ(removed[0].first, "10.0.0.2:2");
    EXPECT_EQ(removed[1].first, "10.0.0.4:4");
    EXPECT_EQ(r.Column(2), (Strings{"N1", "N3"}));

    // Exactly the timeout is expired; one millisecond less is not.
    Registry edge;
    edge.Accept("10.0.0.5", 5, 1000);
    edge.Name("10.0.0.5:5", "E");
    EXPECT_TRUE(
        RebuildDeviceList(edge.table, edge.list, true, 1000 + kTimeout - 1, kTimeout).empty());
    EXPECT_EQ(RebuildDeviceList(edge.table, edge.list, true, 1000 + kTimeout, kTimeout).size(), 1u);

    // A timeout of 0 drops every device at every expiring pass; without expiry nothing goes.
    Registry zero;
    zero.Accept("10.0.0.6", 6, 5);
    EXPECT_TRUE(RebuildDeviceList(zero.table, zero.list, false, 5, 0).empty());
    EXPECT_EQ(RebuildDeviceList(zero.table, zero.list, true, 5, 0).size(), 1u);
}

TEST(DeviceRegistry, RemoveAllClosesEverySocket) {
    Registry r;
    std::vector<std::shared_ptr<FakeSocket>> sockets;
    for (int port = 1; port <= 5; ++port) {
        sockets.push_back(r.Accept("10.0.0.8", port));
    }
    const auto removed = RemoveAllDevices(r.table);
    EXPECT_EQ(removed.size(), 5u);
    EXPECT_EQ(r.table.Size(), 0u);
    for (const auto& s : sockets) {
        EXPECT_EQ(s->closes, 1);
    }
    EXPECT_EQ(RemoveDevice(r.table, "10.0.0.8:1"), nullptr);
}

// A finder on another thread keeps its record alive and usable while the event loop erases,
// re-registers and rebuilds (run under TSan and ASan).
TEST(DeviceRegistry, FoundRecordsOutliveTheirErasure) {
    Registry r;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            for (int port = 1; port <= 4; ++port) {
                if (DeviceRecord d = r.table.Find(DeviceKey("10.0.1.1", port))) {
                    d->tagCount.fetch_add(1);
                    d->SetText(DeviceText::kSerialNo, "S" + d->DeviceName());
                    std::lock_guard lock(d->receiveLock);
                    d->bufferedBytes = (d->bufferedBytes + 1) % 8;
                }
            }
        }
    });
    for (int round = 0; round < 2000; ++round) {
        const int port = 1 + round % 4;
        r.Accept("10.0.1.1", port, static_cast<std::uint32_t>(round));
        r.Name(DeviceKey("10.0.1.1", port), "R" + std::to_string(port));
        RebuildDeviceList(r.table, r.list, round % 3 == 0, static_cast<std::uint32_t>(round), 2);
        if (round % 5 == 0) {
            RemoveDevice(r.table, DeviceKey("10.0.1.1", 1 + (round / 5) % 4));
        }
    }
    stop = true;
    reader.join();
    for (const auto& [key, d] : r.table.Entries()) {
        EXPECT_EQ(d->DeviceName(), "R" + key.substr(key.size() - 1));
        EXPECT_EQ(d->Text(DeviceText::kSerialNo).rfind("SR", 0) == 0 ||
                      d->Text(DeviceText::kSerialNo).empty() ||
                      d->Text(DeviceText::kSerialNo).rfind("S10.", 0) == 0,
                  true);
    }
}

}  // namespace
}  // namespace trelvane
