#pragma once

// The reader protocol's frame: start byte 0x55, parameter byte, reserved byte, length byte L
// (command byte + data), command byte, data, CRC-16/UMTS high byte first. On the wire every byte
// after the start byte is escaped (0x55 -> 56 56, 0x56 -> 56 57), so 0x55 only ever starts a
// frame. Everything here is a pure function over caller-owned bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace trelvane {

inline constexpr std::uint8_t kStartByte = 0x55;
inline constexpr std::uint8_t kEscapeByte = 0x56;

// A device's receive buffer holds at most this many undecoded bytes.
inline constexpr std::size_t kReceiveBufferSize = 1024;
// The largest unescaped frame the length byte allows: 6 + 255.
inline constexpr std::size_t kFrameRecordSize = 261;
// The largest escaped frame BuildFrame will write (the senders' buffers hold 264 bytes).
inline constexpr std::size_t kMaxBuiltFrameSize = 256;

// One deframed, CRC-checked frame, unescaped, zero-filled behind its last byte so that handlers
// reading a field past a short frame's end read zeros.
using FrameRecord = std::array<std::uint8_t, kFrameRecordSize>;

// Byte offsets inside an unescaped frame.
namespace frame {
inline constexpr std::size_t kParameter = 1;
inline constexpr std::size_t kLength = 3;
inline constexpr std::size_t kCommand = 4;
inline constexpr std::size_t kStatus = 5;  // first data byte of a device reply
}  // namespace frame

// CRC-16/UMTS (poly 0x8005, init 0, no reflection, no final XOR) over frame[1] .. frame[n]:
// the byte at offset 0 (the start byte) is never covered. Returns 0 for n == 0.
// The caller guarantees frame.size() > n.
std::uint16_t Crc16(std::span<const std::uint8_t> frame, std::size_t n);

// The parameter byte of a host frame: the value itself up to 16, otherwise value & 0x0F.
std::uint8_t ParameterByte(unsigned parameter);

// Builds the escaped frame for `command` with `data` into `out`. Returns the number of bytes
// written, or nothing (and writes nothing) when the data does not fit a frame (more than 254
// bytes) or the escaped frame does not fit `out` or kMaxBuiltFrameSize.
std::optional<std::size_t> BuildFrame(std::uint8_t command, std::span<const std::uint8_t> data,
                                      unsigned parameter, std::span<std::uint8_t> out);

// Cuts the frames out of a device receive buffer, in buffer order, into `records`, and removes
// what it consumed from the front of the buffer. Returns the number of records written; each is
// a whole FrameRecord (frame bytes, then zeros).
//
// Rules of the stream: bytes ahead of the first start byte are discarded; a frame runs up to the
// next start byte; a frame followed by another start byte is consumed whether or not it passes
// the CRC; the last frame in the buffer stays until it is complete (its length byte is non-zero,
// all L + 6 bytes are there and its last byte is not half of a split escape pair). A chunk that
// unescapes to more than kFrameRecordSize bytes can never be a frame and is dropped. When `records`
// is full the call stops and leaves the rest in the buffer, so the caller calls again until it
// returns 0. A buffer without any start byte is left as it is.
//
// Locking: the receive path appends behind `bufferedBytes` while holding `receiveLock`. This
// function reads `bufferedBytes` and compacts the buffer under that lock and reads the snapshot
// bytes without it (the appender never writes below the count it read). Only one thread may
// extract from a given buffer at a time.
std::size_t ExtractFrames(std::span<std::uint8_t, kReceiveBufferSize> recvBuffer,
                          std::size_t& bufferedBytes, std::span<FrameRecord> records,
                          std::mutex& receiveLock);

// True for the valid bytes of a receive buffer that can never yield a frame: the buffer is full
// and holds no start byte. (Deframing frees room in every other full buffer.) Such bytes would
// hold the reader back for ever, so the receive path drops them.
bool IsUndecodableFullBuffer(std::span<const std::uint8_t> validBytes);

// Packed BCD to binary without range checks: high nibble * 10 + low nibble (0x1F gives 25).
constexpr int BcdToBinary(std::uint8_t value) {
    return (value >> 4) * 10 + (value & 0x0F);
}

// Sets `text` to exactly `n` bytes of `data`, NUL bytes included. Returns false and leaves
// `text` unchanged when n exceeds the bytes available.
bool CopyBytesToText(std::span<const std::uint8_t> data, std::size_t n, std::string& text);

}  // namespace trelvane
