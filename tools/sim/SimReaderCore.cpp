#include "sim/SimReaderCore.h"

#include <algorithm>
#include <cstring>

#include "protocol/HostCommand.h"

namespace trelvane {
namespace {

// Commands a reader understands (the host's command bytes).
constexpr std::uint8_t kIdentity = commandbyte::kQueryInfo;
using commandbyte::kDataAck;
using commandbyte::kQueryAtten;
using commandbyte::kQueryCarrier;
using commandbyte::kSetAtten;
using commandbyte::kSetCarrier;
using commandbyte::kStartRead;
using commandbyte::kStopRead;
constexpr std::uint8_t kSetClock = commandbyte::kSetTime;

constexpr std::uint8_t kStatusOk = 0x00;
constexpr std::uint8_t kStatusFailed = 0x01;

// Records per ExtractFrames call; the call is repeated until it finds nothing more.
constexpr std::size_t kRecordsPerPass = 16;

bool IsBcd(std::uint8_t value) {
    return (value >> 4) <= 9 && (value & 0x0F) <= 9;
}

int DaysIn(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<LocalDateTime> DecodeBcdClock(std::span<const std::uint8_t, 7> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 3 && !IsBcd(bytes[i])) {
            return std::nullopt;
        }
    }
    LocalDateTime t;
    t.second = BcdToBinary(bytes[0]);
    t.minute = BcdToBinary(bytes[1]);
    t.hour = BcdToBinary(bytes[2]);
    t.day = BcdToBinary(bytes[4]);
    t.month = BcdToBinary(bytes[5]);
    t.year = 2000 + BcdToBinary(bytes[6]);
    if (t.second > 59 || t.minute > 59 || t.hour > 23 || t.month < 1 || t.month > 12 || t.day < 1 ||
        t.day > DaysIn(t.year, t.month)) {
        return std::nullopt;
    }
    t.dayOfWeek = DayOfWeek(t.year, t.month, t.day);
    return t;
}

SimReaderCore::SimReaderCore(SimReaderOptions options, const Clock& clock)
    : options_(std::move(options)), clock_(clock) {}

void SimReaderCore::Receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out) {
    stats_.bytesReceived += bytes.size();
    std::array<FrameRecord, kRecordsPerPass> records;
    while (!bytes.empty()) {
        const std::size_t take = std::min(kReceiveBufferSize - buffered_, bytes.size());
        std::memcpy(buffer_.data() + buffered_, bytes.data(), take);
        buffered_ += take;
        bytes = bytes.subspan(take);
        for (;;) {
            const std::size_t n = ExtractFrames(buffer_, buffered_, records, bufferLock_);
            if (n == 0) {
                break;
            }
            for (std::size_t i = 0; i < n; ++i) {
                Handle(records[i], out);
            }
        }
        // Nothing in a full buffer without a start byte can ever decode: drop it rather than
        // stall the stream.
        if (IsUndecodableFullBuffer(std::span(buffer_.data(), buffered_))) {
            stats_.bytesDropped += buffered_;
            buffered_ = 0;
        }
    }
}

void SimReaderCore::Handle(const FrameRecord& record, std::vector<std::uint8_t>& out) {
    const std::size_t length = record[frame::kLength];
    const std::uint8_t command = record[frame::kCommand];
    const std::span<const std::uint8_t> whole(record.data(), length + 6);
    ++stats_.framesReceived;
    ++stats_.framesByCommand[command];
    if (options_.keepFrames) {
        frames_.emplace_back(whole.begin(), whole.end());
    }
    if (onFrame) {
        onFrame(whole);
    }

    switch (command) {
        case kStopRead:
            // Stopping needs no answer to take effect, so even a silent reader stops.
            reporting_ = false;
            if (!options_.silent) {
                ReplyStatus(kStopRead, kStatusOk, out);
            }
            return;
        case kDataAck:
            if (length >= 3) {
                stats_.bytesAcked += static_cast<std::uint64_t>(record[5] << 8 | record[6]);
            }
            return;
        default:
            break;
    }
    if (options_.silent) {
        return;
    }

    switch (command) {
        case kIdentity:
            if (Admit(identitySeen_, options_.identityAfter)) {
                if (length < 2) {
                    ReplyStatus(kIdentity, kStatusFailed, out);
                } else {
                    ReplyIdentity(record[5], out);
                }
            }
            break;
        case kSetClock:
            if (Admit(clockSeen_, options_.clockAfter)) {
                const bool adopted = SetClock(record);
                ReplyStatus(kSetClock, adopted ? kStatusOk : kStatusFailed, out);
            }
            break;
        case kStartRead:
            if (Admit(startSeen_, options_.startAfter)) {
                const bool valid = length == 3 && record[5] == 0x01 && record[6] == 0x01;
                ReplyStatus(kStartRead, valid ? kStatusOk : kStatusFailed, out);
                // Set after the answer, so the acknowledgement is not counted as reporting.
                reporting_ = reporting_ || valid;
            }
            break;
        case kQueryAtten: {
            if (options_.failQuery) {
                ReplyStatus(kQueryAtten, kStatusFailed, out);
                break;
            }
            const std::array<std::uint8_t, 8> data = {kStatusOk, 0, 0, 0, 0, 0, 0, options_.atten};
            Append(kQueryAtten, 0, data, out);
            break;
        }
        case kQueryCarrier: {
            if (options_.failQuery) {
                ReplyStatus(kQueryCarrier, kStatusFailed, out);
                break;
            }
            const std::array<std::uint8_t, 2> data = {kStatusOk, options_.carrier};
            Append(kQueryCarrier, 0, data, out);
            break;
        }
        case kSetAtten: {
            // The index stands at frame byte 11; a frame too short to carry it is refused.
            const bool ok = length >= 8 && !options_.failSet;
            if (ok) {
                options_.atten = record[11];
            }
            ReplyStatus(kSetAtten, ok ? kStatusOk : kStatusFailed, out);
            break;
        }
        case kSetCarrier: {
            const bool ok = length >= 4 && !options_.failSet;
            if (ok) {
                options_.carrier = record[7];
            }
            ReplyStatus(kSetCarrier, ok ? kStatusOk : kStatusFailed, out);
            break;
        }
        default:
            break;  // unknown commands are counted above and otherwise ignored
    }
}

bool SimReaderCore::Admit(int& seen, int after) {
    ++seen;
    return after > 0 && seen >= after;
}

bool SimReaderCore::SetClock(const FrameRecord& record) {
    std::array<std::uint8_t, 7> bytes{};
    std::copy_n(record.begin() + 5, bytes.size(), bytes.begin());
    stats_.lastClock = bytes;
    if (record[frame::kLength] < 8 || options_.failClock) {
        return false;
    }
    // An impossible date is refused; the reader keeps the clock it had.
    const auto decoded = DecodeBcdClock(bytes);
    if (!decoded) {
        return false;
    }
    clockBase_ = decoded;
    clockBaseTick_ = clock_.TickCount();
    return true;
}

std::size_t SimReaderCore::Append(std::uint8_t command, unsigned parameter,
                                  std::span<const std::uint8_t> data,
                                  std::vector<std::uint8_t>& out) {
    std::array<std::uint8_t, kMaxBuiltFrameSize> frame{};
    const auto n = BuildFrame(command, data, parameter, frame);
    if (!n) {
        return 0;  // callers keep their data within a frame; see kMaxSimIdentityText
    }
    out.insert(out.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(*n));
    stats_.bytesSent += *n;
    if (reporting_) {
        stats_.bytesReporting += *n;
    }
    return *n;
}

void SimReaderCore::ReplyStatus(std::uint8_t command, std::uint8_t status,
                                std::vector<std::uint8_t>& out) {
    const std::array<std::uint8_t, 1> data = {status};
    Append(command, 0, data, out);
}

void SimReaderCore::ReplyIdentity(std::uint8_t item, std::vector<std::uint8_t>& out) {
    const std::string* text = nullptr;
    switch (item) {
        case kItemDeviceName:
            text = &options_.deviceName;
            break;
        case kItemProductType:
            text = &options_.productType;
            break;
        case kItemSerialNo:
            text = &options_.serialNo;
            break;
        case kItemSoftwareVer:
            text = &options_.softwareVer;
            break;
        case kItemHardwareVer:
            text = &options_.hardwareVer;
            break;
        default:
            break;
    }
    std::vector<std::uint8_t> data;
    if (text == nullptr || text->size() > kMaxSimIdentityText) {
        data.push_back(kStatusFailed);
    } else {
        data.reserve(1 + text->size());
        data.push_back(kStatusOk);
        data.insert(data.end(), text->begin(), text->end());
    }
    Append(kIdentity, item, data, out);
}

std::array<std::uint8_t, 7> SimReaderCore::ReportClock() const {
    if (!clockBase_) {
        return ClockData(clock_.LocalNow());
    }
    // Unsigned: survives the tick wrap.
    return ClockData(AddMilliseconds(*clockBase_, clock_.TickCount() - clockBaseTick_));
}

std::size_t SimReaderCore::AppendReport(std::uint32_t tag, std::vector<std::uint8_t>& out) {
    const bool withClock = options_.reportLength != 14;
    std::array<std::uint8_t, 16> data{};  // status 0; bytes 6..9 of the frame stay zero
    data[5] = static_cast<std::uint8_t>(tag >> 24);
    data[6] = static_cast<std::uint8_t>(tag >> 16);
    data[7] = static_cast<std::uint8_t>(tag >> 8);
    data[8] = static_cast<std::uint8_t>(tag);
    std::size_t size = 13;  // L = 14: frame bytes 14..17 zero
    if (withClock) {
        const auto clock = ReportClock();
        std::copy(clock.begin(), clock.end(), data.begin() + 9);
        size = 16;  // L = 17: frame bytes 14..20 the clock
    }
    const std::size_t n = Append(kStartRead, 0, std::span(data.data(), size), out);
    ++stats_.reportsSent;
    stats_.lastTag = tag;
    return n;
}

void SimReaderCore::NoteSent(std::size_t bytes) {
    stats_.bytesSent += bytes;
    if (reporting_) {
        stats_.bytesReporting += bytes;
    }
}

void SimReaderCore::ResetConnection() {
    buffered_ = 0;
    reporting_ = false;
    identitySeen_ = 0;
    clockSeen_ = 0;
    startSeen_ = 0;
}

}  // namespace trelvane
