#pragma once

// One connected reader: its socket, receive buffer, handshake and reading flags, identity texts,
// radio settings and counters.
//
// Threading (who may touch what):
// - `socket`: the event-loop thread only (it owns every socket; the parse thread never sends).
// - `recvBuffer` / `bufferedBytes` / `staging`: under `receiveLock` (the event loop appends,
//   to the staging ring once the buffer is full or the ring holds bytes; the parse thread
//   deframes, compacts and refills the buffer from the ring; see ExtractFrames).
// - one-byte flags, counters and settings: atomics, written by one thread and polled by others.
// - texts: behind accessors that take the record's own text lock.
// - `ip`, `port`, `loginTime`: set before the record enters the device table, then read-only.
// Records are held by std::shared_ptr: a thread that found a record keeps it alive after the
// table has dropped it, so a dispatch or a handshake step never touches freed memory.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "protocol/FrameCodec.h"
#include "protocol/HostCommand.h"
#include "service/StagingRing.h"

namespace trelvane {

// A device connection as the service layer sees it: frames go out through SendBytes (one call
// per frame); Close is idempotent and closing a socket the peer already closed is harmless.
class DeviceSocket : public CommandSocket {
  public:
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
};

enum class DeviceText {
    kDeviceName,   // the device key until the reader reports its name (identity item 0)
    kSerialNo,     // item 2
    kProductType,  // item 1
    kSoftwareVer,  // item 3
    kHardwareVer,  // item 5
    kLastRegTime,  // local time of the last accept or received chunk
};

class CDeviceInfo {
  public:
    std::atomic<bool> reading{false};   // acknowledged CMD_START_READ; cleared by Stop Read
    std::atomic<bool> online{false};    // false: closed and removed at the next list rebuild
    std::atomic<bool> clockSet{false};  // acknowledged CMD_SET_TIME
    // This connection still waits for its name. Kept per connection: one reader's answer must
    // not end another reader's identification.
    std::atomic<bool> registrationPending{false};
    std::atomic<std::int32_t> tagCount{0};         // tag reports accepted
    std::atomic<std::uint32_t> lastActiveTick{0};  // tick of the last accept or chunk
    std::atomic<std::uint8_t> atten{0};            // ATTEN list index, last reported or set
    std::atomic<std::uint8_t> carrierParam{0};     // carrier list index, likewise

    std::string ip;         // peer IPv4 address, dotted
    int port = 0;           // peer port, host order
    std::string loginTime;  // local time of the first accept under this key

    std::shared_ptr<DeviceSocket> socket;  // event-loop thread only

    std::mutex receiveLock;
    std::array<std::uint8_t, kReceiveBufferSize> recvBuffer{};
    std::size_t bufferedBytes = 0;  // guarded by receiveLock; never above kReceiveBufferSize
    StagingRing staging;            // guarded by receiveLock; bytes behind recvBuffer's

    std::string Text(DeviceText field) const {
        std::lock_guard lock(textLock_);
        return texts_[static_cast<std::size_t>(field)];
    }
    void SetText(DeviceText field, std::string value) {
        std::lock_guard lock(textLock_);
        texts_[static_cast<std::size_t>(field)] = std::move(value);
    }
    std::string DeviceName() const { return Text(DeviceText::kDeviceName); }

  private:
    mutable std::mutex textLock_;
    std::array<std::string, 6> texts_;
};

using DeviceRecord = std::shared_ptr<CDeviceInfo>;

// "%s:%d" of the peer's dotted IPv4 address and its port: the key of the device table.
std::string DeviceKey(const std::string& ip, int port);

}  // namespace trelvane
