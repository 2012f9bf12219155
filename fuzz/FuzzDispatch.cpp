// Drives one device through the receive path as the service does: reader bytes arrive in pieces,
// are read into the 1024-byte device buffer at most 256 bytes at a time (each read acknowledged
// while reading), deframed in passes of 50 records and dispatched one record at a time, against
// a real tag store, tag list and read log (KeepRecord 3, in a scratch folder). Between pieces the
// input stops or starts reading, renames the device, refreshes or clears the tag list.
//
// Input layout (FuzzedDataProvider): the reader's bytes are taken from the front, every choice
// from the back, so a seed is a byte stream followed by its choices in reverse order
// (fuzz/corpus/make_seeds.py writes them).
//
// Checks:
//  - nothing is read or written out of bounds (the sanitizers watch);
//  - each record changes the device exactly as a small model of the reply rules says (flags,
//    settings, texts, tag count), the sink hears exactly the expected events, always with the
//    device's own key, and an accepted tag report is in the store under the pass's name;
//  - the buffer never holds more than 1024 bytes, and a full buffer is never left full after a
//    pass (it is either drained by deframing or dropped as undecodable), so a reader never stalls;
//  - every acknowledgement is one whole data-ack frame carrying the chunk's length;
//  - after a refresh the list has one row per stored ID, each row agrees with the store, and
//    the read counts add up to the reads since the last clear;
//  - the two daily logs are byte-identical, exist only when a report was accepted and hold one
//    line per accepted report.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"
#include "protocol/HostCommand.h"
#include "records/ReadLog.h"
#include "records/StringTable.h"
#include "records/TagId.h"
#include "records/TagListModel.h"
#include "records/TagStore.h"
#include "records/TextCodec.h"
#include "service/DeviceFrameHandler.h"
#include "service/DeviceInfo.h"
#include "service/ReadLogSink.h"

namespace {

namespace fs = std::filesystem;
using trelvane::CDeviceInfo;
using trelvane::DeviceText;
using trelvane::FrameRecord;

constexpr std::size_t kReceiveChunk = 256;  // one read, and one acknowledgement, at most
constexpr std::size_t kParseRecords = 50;   // records per deframing call on the parse thread

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The local time never moves, so every read goes to the same two log files.
class FixedClock final : public trelvane::Clock {
  public:
    std::uint32_t TickCount() const override { return 123456; }
    trelvane::LocalDateTime LocalNow() const override {
        return trelvane::LocalDateTime{2026, 3, 8, 9, 5, 3, 0, 0};
    }
};

// Remembers what the dispatcher told the event loop, per record.
class RecordingSink final : public trelvane::DeviceEventSink {
  public:
    struct Reply {
        trelvane::PageReply reply;
        bool ok;
        std::uint8_t command;
        friend bool operator==(const Reply&, const Reply&) = default;
    };

    explicit RecordingSink(const std::string& key) : key_(key) {}

    void OnDeviceNamed(const std::string& key) override {
        Check(key == key_);
        ++named;
    }
    void OnPageReply(trelvane::PageReply reply, const std::string& key, bool ok,
                     std::uint8_t command) override {
        Check(key == key_);
        replies.push_back(Reply{reply, ok, command});
    }

    int named = 0;
    std::vector<Reply> replies;

  private:
    const std::string& key_;
};

// Collects what SendCommand puts on the "socket".
class AckSocket final : public trelvane::CommandSocket {
  public:
    bool SendBytes(std::span<const std::uint8_t> bytes) override {
        frames.emplace_back(bytes.begin(), bytes.end());
        return true;
    }
    std::vector<std::vector<std::uint8_t>> frames;
};

// The data-ack frame for `length` bytes, unescaped, must be 55 p 00 03 D0 hi lo crc crc.
void CheckAck(const std::vector<std::uint8_t>& wire, std::size_t length) {
    Check(!wire.empty() && wire[0] == trelvane::kStartByte);
    std::vector<std::uint8_t> plain{wire[0]};
    for (std::size_t i = 1; i < wire.size(); ++i) {
        Check(wire[i] != trelvane::kStartByte);
        if (wire[i] == trelvane::kEscapeByte) {
            Check(i + 1 < wire.size() && (wire[i + 1] == 0x56 || wire[i + 1] == 0x57));
            plain.push_back(wire[i + 1] == 0x56 ? 0x55 : 0x56);
            ++i;
        } else {
            plain.push_back(wire[i]);
        }
    }
    Check(plain.size() == 9);
    Check(plain[1] == trelvane::ParameterByte(static_cast<unsigned>(length)));
    Check(plain[3] == 3 && plain[4] == trelvane::commandbyte::kDataAck);
    Check(plain[5] == (length >> 8) && plain[6] == (length & 0xFF));
    Check(trelvane::Crc16(plain, plain.size() - 1) == 0);
}

// A per-process scratch folder for the read logs, removed at exit. Never destroyed, so the exit
// handler may use it.
const fs::path& ScratchDir() {
    static const fs::path* const dir = [] {
        char pattern[] = "/tmp/fuzz_dispatch-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        Check(made != nullptr);
        return new fs::path(made);
    }();
    static const bool cleanup = std::atexit([] {
                                    std::error_code ec;
                                    fs::remove_all(*dir, ec);
                                }) == 0;
    (void)cleanup;
    return *dir;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names the device may be given: its key (long), the longest name that may report (9 bytes),
// one byte too long, and reader names in GBK, Big5 and UTF-8.
constexpr std::array<const char*, 7> kNames = {
    "",  // the device key
    "R1",
    "Reader-09",
    "Reader-010",
    "\xB6\xC1\xD0\xB4\xC6\xF7"
    "1",                                     // GBK
    "\xC5\xAA\xBC\x67\xBE\xB9",              // Big5
    "\xE8\xAF\xBB\xE5\x86\x99\xE5\x99\xA8",  // UTF-8, 9 bytes
};

// What one record must do to the device and the sink, by the reply rules.
struct Expected {
    bool reading;
    bool clockSet;
    std::uint8_t atten;
    std::uint8_t carrier;
    std::array<std::string, 5> texts;  // name, serial, product, software, hardware
    std::int32_t tagCount;
    int named = 0;
    std::vector<RecordingSink::Reply> replies;
    bool accepted = false;  // a tag read was recorded
};

constexpr std::array<DeviceText, 5> kTextFields = {
    DeviceText::kDeviceName, DeviceText::kSerialNo, DeviceText::kProductType,
    DeviceText::kSoftwareVer, DeviceText::kHardwareVer};

Expected Snapshot(const CDeviceInfo& device) {
    Expected e{device.reading,
               device.clockSet,
               device.atten,
               device.carrierParam,
               {},
               device.tagCount,
               0,
               {},
               false};
    for (std::size_t i = 0; i < kTextFields.size(); ++i) {
        e.texts[i] = device.Text(kTextFields[i]);
    }
    return e;
}

Expected Model(const CDeviceInfo& device, const FrameRecord& r) {
    using trelvane::PageReply;
    Expected e = Snapshot(device);
    const std::uint8_t command = r[trelvane::frame::kCommand];
    const std::uint8_t length = r[trelvane::frame::kLength];
    const bool ok = r[trelvane::frame::kStatus] == 0;
    switch (command) {
        case 0x62:
            if (!ok) {
                break;
            }
            if (length == 2) {
                e.reading = true;
            } else if (e.reading && length >= 8 && e.texts[0].size() <= 9) {
                e.accepted = true;
                if (e.tagCount < INT32_MAX) {
                    ++e.tagCount;
                }
            }
            break;
        case 0x01: {
            if (!ok) {
                e.replies.push_back({PageReply::kDeviceInfo, false, command});
            }
            if (length < 2) {
                break;
            }
            const std::string text(reinterpret_cast<const char*>(r.data()) + 6, length - 2u);
            int field = -1;
            switch (r[trelvane::frame::kParameter]) {
                case 0:
                    field = 0;
                    break;
                case 1:
                    field = 2;
                    break;
                case 2:
                    field = 1;
                    break;
                case 3:
                    field = 3;
                    break;
                case 5:
                    field = 4;
                    break;
                default:
                    break;
            }
            if (field >= 0 && !text.empty()) {
                e.texts[static_cast<std::size_t>(field)] = text;
                e.named += field == 0 ? 1 : 0;
            }
            e.replies.push_back({PageReply::kDeviceInfo, true, command});
            break;
        }
        case 0x12:
        case 0x14:
            if (ok) {
                if (command == 0x12) {
                    e.atten = r[12];
                } else {
                    e.carrier = r[6];
                }
            }
            e.replies.push_back({PageReply::kReaderQuery, ok, command});
            break;
        case 0x11:
        case 0x13:
            e.replies.push_back({PageReply::kReaderSet, ok, command});
            break;
        case 0xB0:
            e.clockSet = e.clockSet || ok;
            break;
        default:
            break;
    }
    return e;
}

struct Harness {
    std::string key;
    CDeviceInfo device;
    RecordingSink sink{key};
    FixedClock clock;
    trelvane::TagStore tags;
    trelvane::TagListModel list;
    trelvane::TextCodec codec;
    trelvane::ReadLogSink log;
    trelvane::EventBatch batch;  // the current parse pass's events
    trelvane::DispatchContext context{tags, sink, batch};
    trelvane::Sequence nextSeq = 1;
    AckSocket ackSocket;
    std::vector<std::uint8_t> pending;  // arrived, not yet read into the buffer
    bool blocked = false;               // the last read found the buffer full
    std::uint64_t readsSinceClear = 0;
    std::uint64_t accepted = 0;
    std::size_t logBytes = 0;  // what the accepted reads' lines add up to
    std::size_t lineBase = 0;  // a log line without its three texts

    Harness(std::string deviceKey, int codePage)
        : key(std::move(deviceKey)),
          codec(trelvane::TextCodec::Usable(codePage)),
          log(ScratchDir(), clock) {
        log.SetSettings(3, codePage);
        device.SetText(DeviceText::kDeviceName, key);
        device.online = true;
        const std::string format = codec.FromUtf8(trelvane::LoadText(trelvane::ids::kReadLogLine));
        Check(format.size() >= 6);
        lineBase = format.size() - 6;  // three "%s"
    }

    // The event loop's read: what fits, in reads of at most 256 bytes.
    void Receive() {
        std::size_t taken = 0;
        while (taken < pending.size()) {
            const std::size_t room = trelvane::kReceiveBufferSize - device.bufferedBytes;
            if (room == 0) {
                blocked = true;
                break;
            }
            const std::size_t n = std::min({room, kReceiveChunk, pending.size() - taken});
            if (device.reading) {
                ackSocket.frames.clear();
                Check(trelvane::SendCommand(ackSocket, trelvane::CMD_DATA_ACK,
                                            static_cast<unsigned>(n), clock));
                Check(ackSocket.frames.size() == 1);
                CheckAck(ackSocket.frames[0], n);
            }
            std::lock_guard lock(device.receiveLock);
            std::memcpy(device.recvBuffer.data() + device.bufferedBytes, pending.data() + taken, n);
            device.bufferedBytes += n;
            taken += n;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(taken));
        Check(device.bufferedBytes <= trelvane::kReceiveBufferSize);
    }

    // The parse thread's pass over the device.
    void Parse() {
        const std::string name = device.DeviceName();
        batch.Clear();
        batch.localTime = clock.LocalNow();
        batch.timeMs = clock.UnixMillis();
        batch.firstSeq = batch.nextSeq = nextSeq;
        context.device = batch.AddDevice(key, name);
        std::vector<FrameRecord> records(kParseRecords);
        for (;;) {
            const std::size_t n = trelvane::ExtractFrames(device.recvBuffer, device.bufferedBytes,
                                                          records, device.receiveLock);
            Check(n <= kParseRecords);
            Check(device.bufferedBytes <= trelvane::kReceiveBufferSize);
            if (n == 0) {
                break;
            }
            for (std::size_t i = 0; i < n; ++i) {
                Dispatch(name, records[i]);
            }
        }
        // The pass's numbers follow on from the last pass's, without gaps; the log takes the
        // batch as the parse worker hands it to its sink.
        Check(batch.firstSeq == nextSeq && batch.nextSeq == nextSeq + batch.EventCount());
        nextSeq = batch.nextSeq;
        log.Consume(batch);
        log.Flush();
        if (blocked) {
            std::lock_guard lock(device.receiveLock);
            if (trelvane::IsUndecodableFullBuffer(
                    std::span(device.recvBuffer.data(), device.bufferedBytes))) {
                device.bufferedBytes = 0;
            }
            // Deframing frees room in every full buffer that holds a start byte.
            Check(device.bufferedBytes < trelvane::kReceiveBufferSize);
            blocked = false;
        }
    }

    void Dispatch(const std::string& name, const FrameRecord& r) {
        Check(trelvane::Crc16(r, std::size_t{r[trelvane::frame::kLength]} + 5) == 0);
        const Expected e = Model(device, r);
        const std::uint64_t readsBefore = tags.TotalReads();
        sink.named = 0;
        sink.replies.clear();
        trelvane::DispatchDeviceFrame(device, key, name, r, context);

        const Expected got = Snapshot(device);
        Check(got.reading == e.reading && got.clockSet == e.clockSet);
        Check(got.atten == e.atten && got.carrier == e.carrier);
        Check(got.texts == e.texts && got.tagCount == e.tagCount);
        Check(sink.named == e.named && sink.replies == e.replies);
        Check(tags.TotalReads() == readsBefore + (e.accepted ? 1 : 0));
        if (e.accepted) {
            ++accepted;
            ++readsSinceClear;
            Check(!batch.reads.empty() && batch.reads.back().seq + 1 == batch.nextSeq);
            const trelvane::TagReport& report = batch.reads.back().report;
            Check(report == trelvane::DecodeTagReport(r));
            const std::string id = trelvane::TagIdText(report.tag);
            const std::string time = trelvane::ReadTimeText(report, clock.LocalNow());
            const auto stored = tags.Find(id);
            Check(stored && stored->deviceName == name && stored->lastReadTime == time);
            logBytes += lineBase + id.size() + name.size() + time.size();
        }
        Check(tags.Size() <= tags.TotalReads());
    }

    void Refresh() {
        tags.RefreshTagList(list);
        Check(list.RowCount() == tags.Size());
        std::uint64_t reads = 0;
        for (std::size_t row = 0; row < list.RowCount(); ++row) {
            const std::string id = list.Cell(row, trelvane::TagListModel::kColumnId);
            Check(list.Cell(row, trelvane::TagListModel::kColumnNo) == std::to_string(row + 1));
            Check(list.FindRow(id) == row);
            const auto stored = tags.Find(id);
            Check(stored.has_value());
            Check(stored->readCount == list.RowReadCount(row));
            Check(stored->deviceName == list.RowDeviceName(row));
            Check(stored->lastReadTime == list.RowLastReadTime(row));
            reads += static_cast<std::uint64_t>(list.RowReadCount(row));
        }
        Check(reads == readsSinceClear);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static constexpr std::array<int, 4> kCodePages = {936, 950, 1252, 65001};
    static constexpr std::array<const char*, 3> kAddresses = {"192.168.1.10", "1.2.3.4",
                                                              "10.0.0.255"};
    static constexpr std::array<int, 3> kPorts = {4001, 5, 65535};
    const fs::path textLog = ScratchDir() / "2026-03-08 ReadIdRec.txt";
    const fs::path sheetLog = ScratchDir() / "2026-03-08 ReadIdRec.xls";
    std::error_code ec;
    fs::remove(textLog, ec);  // each input starts with no logs, so the disk never fills
    fs::remove(sheetLog, ec);

    FuzzedDataProvider in(data, size);
    const std::uint8_t setup = in.ConsumeIntegral<std::uint8_t>();
    const std::string key = trelvane::DeviceKey(kAddresses[(setup >> 2) % kAddresses.size()],
                                                kPorts[((setup >> 4) & 3) % kPorts.size()]);
    {
        Harness h(key, kCodePages[setup & 3]);
        h.device.reading = (setup & 0x80) != 0;

        while (in.remaining_bytes() > 0) {
            switch (in.ConsumeIntegralInRange<int>(0, 7)) {
                case 0:
                case 1:
                case 2:
                case 3: {  // a piece of the reader's stream arrives and is read
                    const auto n = in.ConsumeIntegralInRange<std::size_t>(1, 256);
                    const std::vector<std::uint8_t> piece = in.ConsumeBytes<std::uint8_t>(n);
                    h.pending.insert(h.pending.end(), piece.begin(), piece.end());
                    h.Receive();
                    break;
                }
                case 4:  // the parse thread runs, then the event loop reads what waited
                    h.Parse();
                    h.Receive();
                    break;
                case 5:  // Stop Read, or a start-read acknowledgement lost
                    h.device.reading = !h.device.reading;
                    break;
                case 6: {
                    const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, kNames.size() - 1);
                    h.device.SetText(DeviceText::kDeviceName, pick == 0 ? key : kNames[pick]);
                    break;
                }
                case 7:
                    if (in.ConsumeBool()) {
                        h.tags.ClearAllRecords(h.list);
                        Check(h.list.RowCount() == 0 && h.tags.Size() == 0);
                        h.readsSinceClear = 0;
                    }
                    h.Refresh();
                    break;
            }
        }
        // The reader has closed: everything it sent is read and parsed. Bounded: a round that
        // moves no byte ends the loop, and every other round moves at least one.
        const std::size_t rounds = h.pending.size() + h.device.bufferedBytes + 1;
        for (std::size_t round = 0;
             round < rounds && (!h.pending.empty() || h.device.bufferedBytes > 0); ++round) {
            const std::size_t before = h.pending.size() + h.device.bufferedBytes;
            h.Parse();
            h.Receive();
            if (h.pending.size() + h.device.bufferedBytes == before) {
                break;  // an incomplete last frame stays
            }
        }
        Check(h.pending.empty());
        h.Refresh();
        h.log.Flush();

        const bool wrote = h.accepted > 0;
        Check(fs::exists(textLog) == wrote && fs::exists(sheetLog) == wrote);
        if (wrote) {
            const std::string text = ReadFile(textLog);
            Check(text.size() == h.logBytes);
            Check(ReadFile(sheetLog) == text);
        }
    }
    return 0;
}
