#include "service/DeviceFrameHandler.h"

#include <limits>
#include <optional>
#include <span>

#include "protocol/TagReport.h"
#include "records/TagStore.h"
#include "service/DeviceRegistry.h"

namespace trelvane {
namespace {

// Replies carry the command byte of the command they answer.
constexpr std::uint8_t kTagOrStartReply = commandbyte::kStartRead;
constexpr std::uint8_t kIdentityReply = commandbyte::kQueryInfo;
constexpr std::uint8_t kAttenQueryReply = commandbyte::kQueryAtten;
constexpr std::uint8_t kCarrierQueryReply = commandbyte::kQueryCarrier;
constexpr std::uint8_t kAttenSetReply = commandbyte::kSetAtten;
constexpr std::uint8_t kCarrierSetReply = commandbyte::kSetCarrier;
constexpr std::uint8_t kClockReply = commandbyte::kSetTime;

// Byte offsets of reply fields.
constexpr std::size_t kAttenIndex = 12;
constexpr std::size_t kCarrierIndex = 6;
constexpr std::size_t kIdentityText = 6;
// Names up to this long may report tags; longer ones (a device key, for most addresses) are
// still waiting for their name.
constexpr std::size_t kReportingNameLimit = 9;
// How many frames ahead the read observer hears of a read (enough to cover a memory access).
constexpr std::size_t kLookAhead = 6;

// Where an identity item's text is kept; nullopt for items the reader may send but nobody asks.
std::optional<DeviceText> IdentityField(std::uint8_t item) {
    switch (item) {
        case kItemDeviceName:
            return DeviceText::kDeviceName;
        case kItemProductType:
            return DeviceText::kProductType;
        case kItemSerialNo:
            return DeviceText::kSerialNo;
        case kItemSoftwareVer:
            return DeviceText::kSoftwareVer;
        case kItemHardwareVer:
            return DeviceText::kHardwareVer;
        default:
            return std::nullopt;
    }
}

void AddDeviceEvent(DeviceEventKind kind, std::uint32_t device, DispatchContext& context) {
    EventBatch& batch = context.batch;
    batch.deviceEvents.push_back(DeviceEvent{batch.TakeSeq(), batch.timeMs, kind, device});
}

// Saturates instead of wrapping negative after 2^31 reports (months at a high rate).
void AddTagCount(CDeviceInfo& device, std::int32_t accepted) {
    std::int32_t count = device.tagCount.load(std::memory_order_relaxed);
    while (count < std::numeric_limits<std::int32_t>::max() &&
           !device.tagCount.compare_exchange_weak(
               count,
               count > std::numeric_limits<std::int32_t>::max() - accepted
                   ? std::numeric_limits<std::int32_t>::max()
                   : count + accepted,
               std::memory_order_relaxed)) {
    }
}

// A tag report or the answer to Start Read. Returns whether a read was added to the batch.
// `reportingName` is whether the device's name allows reports; it is looked up on first need,
// once per run of frames (the name changes only with an identity reply, which ends the run).
bool HandleTagOrStartReply(CDeviceInfo& device, const FrameRecord& frame,
                           std::optional<bool>& reportingName, DispatchContext& context) {
    if (frame[frame::kStatus] != 0) {
        return false;
    }
    const std::uint8_t length = frame[frame::kLength];
    if (length == 2) {
        if (!device.reading.exchange(true)) {
            AddDeviceEvent(DeviceEventKind::kReadingStarted, context.device, context);
        }
        return false;
    }
    if (!device.reading || length < kMinTagReportLength) {
        return false;
    }
    if (!reportingName) {
        reportingName = device.DeviceName().size() <= kReportingNameLimit;
    }
    if (!*reportingName) {
        return false;
    }
    EventBatch& batch = context.batch;
    const ReadEvent& read = batch.reads.emplace_back(
        ReadEvent{batch.TakeSeq(), batch.timeMs, DecodeTagReport(frame), context.device});
    if (context.observer != nullptr) {
        context.observer->OnRead(read, batch);
    }
    return true;
}

// Everything but tag reports and Start Read answers.
void HandleOtherFrame(CDeviceInfo& device, const std::string& key, const FrameRecord& frame,
                      DispatchContext& context) {
    const bool ok = frame[frame::kStatus] == 0;
    switch (frame[frame::kCommand]) {
        case kIdentityReply:
            if (!ok) {
                context.sink.OnPageReply(PageReply::kDeviceInfo, key, false,
                                         frame[frame::kCommand]);
            }
            if (frame[frame::kLength] < 2) {
                return;
            }
            HandleConfigReply(device, key, frame, context);
            context.sink.OnPageReply(PageReply::kDeviceInfo, key, true, frame[frame::kCommand]);
            return;
        case kAttenQueryReply:
        case kCarrierQueryReply:
            if (!ok) {
                context.sink.OnPageReply(PageReply::kReaderQuery, key, false,
                                         frame[frame::kCommand]);
                return;
            }
            HandleConfigReply(device, key, frame, context);
            context.sink.OnPageReply(PageReply::kReaderQuery, key, true, frame[frame::kCommand]);
            return;
        case kAttenSetReply:
        case kCarrierSetReply:
            context.sink.OnPageReply(PageReply::kReaderSet, key, ok, frame[frame::kCommand]);
            return;
        case kClockReply:
            if (ok) {
                device.clockSet = true;
            }
            return;
        default:
            return;  // stop-read answers, data acknowledgements, zero records
    }
}

}  // namespace

void HandleConfigReply(CDeviceInfo& device, const std::string& key, const FrameRecord& frame,
                       DispatchContext& context) {
    switch (frame[frame::kCommand]) {
        case kAttenQueryReply:
            device.atten = frame[kAttenIndex];
            return;
        case kCarrierQueryReply:
            device.carrierParam = frame[kCarrierIndex];
            return;
        default:
            break;
    }
    const auto field = IdentityField(frame[frame::kParameter]);
    if (!field) {
        return;
    }
    // L - 2 text bytes follow the status byte; L >= 2 was checked by the caller and L <= 255
    // keeps the copy inside the record.
    std::string text;
    const std::size_t textLength = std::size_t{frame[frame::kLength]} - 2;
    CopyBytesToText(std::span(frame).subspan(kIdentityText), textLength, text);
    if (text.empty()) {
        return;
    }
    if (*field == DeviceText::kDeviceName) {
        device.registrationPending = false;
        const std::uint32_t named = context.batch.AddDevice(key, text);
        device.SetText(DeviceText::kDeviceName, std::move(text));
        AddDeviceEvent(DeviceEventKind::kNamed, named, context);
        context.sink.OnDeviceNamed(key);
        return;
    }
    device.SetText(*field, std::move(text));
}

void DispatchDeviceFrame(CDeviceInfo& device, const std::string& key,
                         const std::string& nameAtPassStart, const FrameRecord& frame,
                         DispatchContext& context) {
    DispatchDeviceFrames(device, key, nameAtPassStart, std::span(&frame, 1), context);
}

void DispatchDeviceFrames(CDeviceInfo& device, const std::string& key,
                          const std::string& nameAtPassStart, std::span<const FrameRecord> frames,
                          DispatchContext& context) {
    const std::size_t firstRead = context.batch.reads.size();
    std::int32_t accepted = 0;
    std::optional<bool> reportingName;
    const auto announce = [&](std::size_t i) {
        if (context.observer != nullptr && i < frames.size() &&
            frames[i][frame::kCommand] == kTagOrStartReply &&
            frames[i][frame::kLength] >= kMinTagReportLength) {
            context.observer->Upcoming(DecodeTagNumber(frames[i]), context.device, context.batch);
        }
    };
    for (std::size_t i = 0; i < kLookAhead; ++i) {
        announce(i);
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameRecord& frame = frames[i];
        announce(i + kLookAhead);
        if (frame[frame::kCommand] == kTagOrStartReply) {
            accepted += HandleTagOrStartReply(device, frame, reportingName, context) ? 1 : 0;
        } else {
            HandleOtherFrame(device, key, frame, context);
            reportingName.reset();
        }
    }
    if (accepted == 0) {
        return;
    }
    AddTagCount(device, accepted);
    context.tags.RecordReads(
        nameAtPassStart, std::span(context.batch.reads).subspan(firstRead),
        [](const ReadEvent& read) -> const TagReport& { return read.report; },
        context.batch.localTime);
}

}  // namespace trelvane
