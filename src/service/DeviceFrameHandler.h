#pragma once

// What the service does with each frame a reader sends: acknowledgements set the device's
// flags, tag reports go to the tag store and into the pass's event batch (from which the sinks
// write the read log, the history, ...), identity and radio-setting replies
// fill the device record, and the settings pages are told that an answer has arrived. Runs on
// the parse thread; it never touches a socket or a view: what the event loop must learn goes
// out through DeviceEventSink, which the service turns into queued calls.

#include <span>
#include <string>

#include "base/Clock.h"
#include "protocol/FrameCodec.h"
#include "service/DeviceInfo.h"
#include "service/EventStream.h"

namespace trelvane {

class TagStore;

// Which settings-page request a reader's reply answers.
enum class PageReply {
    kDeviceInfo,   // an identity reply was handled
    kReaderQuery,  // an ATTEN or carrier query reply was handled
    kReaderSet,    // an ATTEN or carrier set reply arrived
};

class DeviceEventSink {
  public:
    virtual ~DeviceEventSink() = default;
    // An identity reply for item 0 gave the device `key` a name: add or refresh its list row.
    virtual void OnDeviceNamed(const std::string& key) = 0;
    // A reply for the pages: `ok` is false when the reader reported a failure; `command` is the
    // reply's command byte (which of the settings it answers).
    virtual void OnPageReply(PageReply reply, const std::string& key, bool ok,
                             std::uint8_t command) = 0;
};

// Called for each read the dispatcher adds to the batch (the parse worker turns reads into
// presence there, so an arrival follows its read in the sequence).
class ReadObserver {
  public:
    virtual ~ReadObserver() = default;
    virtual void OnRead(const ReadEvent& read, EventBatch& batch) = 0;
    // A read of `tag` by the batch's device `device` is a few frames ahead: a chance to ask for
    // the memory OnRead will want.
    virtual void Upcoming(std::uint32_t /*tag*/, std::uint32_t /*device*/,
                          const EventBatch& /*batch*/) {}
};

struct DispatchContext {
    TagStore& tags;
    DeviceEventSink& sink;
    // The pass's events: reads and device events get their sequence numbers here, and its
    // local time is the PC time of every read of the pass.
    EventBatch& batch;
    // batch.devices index of the device being dispatched, as it stood when the pass began.
    std::uint32_t device = 0;
    ReadObserver* observer = nullptr;
};

// Handles one frame record of `device` (found under `key`). `nameAtPassStart` is the device's
// name as it stood when the parse pass began: tag reads are recorded under it.
void DispatchDeviceFrame(CDeviceInfo& device, const std::string& key,
                         const std::string& nameAtPassStart, const FrameRecord& frame,
                         DispatchContext& context);

// Handles the frames of one deframing of `device`, in order, as DispatchDeviceFrame would one
// by one; their tag reads reach the tag store together, under one lock, and the device's tag
// count once.
void DispatchDeviceFrames(CDeviceInfo& device, const std::string& key,
                          const std::string& nameAtPassStart, std::span<const FrameRecord> frames,
                          DispatchContext& context);

// Stores an identity, ATTEN or carrier reply in the device record.
void HandleConfigReply(CDeviceInfo& device, const std::string& key, const FrameRecord& frame,
                       DispatchContext& context);

}  // namespace trelvane
