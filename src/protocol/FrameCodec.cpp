#include "protocol/FrameCodec.h"

#include <algorithm>
#include <cstring>

namespace trelvane {
namespace {

constexpr std::uint16_t kPolynomial = 0x8005;

// Entry i is the CRC register after shifting byte i, placed in the high half, through the
// polynomial eight times (MSB first).
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t reg = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = static_cast<std::uint16_t>((reg & 0x8000) ? (reg << 1) ^ kPolynomial : reg << 1);
        }
        table[i] = reg;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

// Slicing-by-16: kSliced[k][v] is the register after byte v (from a zero register) followed by
// k zero bytes. CRC is linear, so sixteen bytes fold into the register with sixteen independent
// lookups instead of a chain of dependent ones; a tag report's CRC takes two such steps. Same
// result as the byte-wise table.
using SlicedTable = std::array<std::array<std::uint16_t, 256>, 16>;
constexpr SlicedTable MakeSlicedTable() {
    SlicedTable sliced{};
    sliced[0] = kCrcTable;
    for (std::size_t k = 1; k < 16; ++k) {
        for (std::size_t v = 0; v < 256; ++v) {
            const std::uint16_t prev = sliced[k - 1][v];
            sliced[k][v] = static_cast<std::uint16_t>(kCrcTable[prev >> 8] ^ (prev << 8));
        }
    }
    return sliced;
}

constexpr SlicedTable kSliced = MakeSlicedTable();

[[gnu::always_inline]] inline std::uint16_t CrcOf(const std::uint8_t* p, std::size_t n) {
    std::uint16_t reg = 0;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        std::uint16_t folded = static_cast<std::uint16_t>(kSliced[15][(reg >> 8) ^ p[i]] ^
                                                          kSliced[14][(reg & 0xFF) ^ p[i + 1]]);
        for (std::size_t k = 2; k < 16; ++k) {
            folded ^= kSliced[15 - k][p[i + k]];
        }
        reg = folded;
    }
    if (i + 8 <= n) {
        reg = static_cast<std::uint16_t>(
            kSliced[7][(reg >> 8) ^ p[i]] ^ kSliced[6][(reg & 0xFF) ^ p[i + 1]] ^
            kSliced[5][p[i + 2]] ^ kSliced[4][p[i + 3]] ^ kSliced[3][p[i + 4]] ^
            kSliced[2][p[i + 5]] ^ kSliced[1][p[i + 6]] ^ kSliced[0][p[i + 7]]);
        i += 8;
    }
    if (i + 4 <= n) {
        reg = static_cast<std::uint16_t>(kSliced[3][(reg >> 8) ^ p[i]] ^
                                         kSliced[2][(reg & 0xFF) ^ p[i + 1]] ^
                                         kSliced[1][p[i + 2]] ^ kSliced[0][p[i + 3]]);
        i += 4;
    }
    if (i + 2 <= n) {
        reg = static_cast<std::uint16_t>(kSliced[1][(reg >> 8) ^ p[i]] ^
                                         kSliced[0][(reg & 0xFF) ^ p[i + 1]]);
        i += 2;
    }
    if (i < n) {
        reg = static_cast<std::uint16_t>(kCrcTable[(reg >> 8) ^ p[i]] ^ (reg << 8));
    }
    return reg;
}

// Clears a whole record. Written as four fixed pieces because the compiler turns these into a
// handful of vector stores, while one 261-byte clear becomes a slow `rep stos` (measured: the
// clear was a fifth of the deframing time).
inline void ClearRecord(std::uint8_t* out) {
    static_assert(kFrameRecordSize == 64 * 4 + 5);
    std::memset(out, 0, 64);
    std::memset(out + 64, 0, 64);
    std::memset(out + 128, 0, 64);
    std::memset(out + 192, 0, 69);
}

// Copies n bytes with fixed-size, possibly overlapping moves. A plain memcpy of a length the
// compiler knows to be small becomes `rep movs`, which costs more than a whole tag report.
inline void CopyBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t n) {
    if (n >= 16) {
        for (std::size_t off = 0; off + 16 < n; off += 16) {
            std::memcpy(out + off, in + off, 16);
        }
        std::memcpy(out + n - 16, in + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + n - 8, in + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + n - 4, in + n - 4, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = in[i];
        }
    }
}

constexpr bool NeedsEscape(std::uint8_t b) {
    return b == kStartByte || b == kEscapeByte;
}

struct UnescapeResult {
    std::size_t length = 0;   // unescaped bytes; may exceed the record
    bool openEscape = false;  // the input ended in an escape byte whose partner may follow
};

// Unescapes in[0..length) into `record` and zero-fills the rest of it; only the first
// kFrameRecordSize bytes are written. An escape byte followed by anything but 56/57, or
// standing last, is taken as itself.
UnescapeResult Unescape(const std::uint8_t* in, std::size_t length, FrameRecord& record) {
    std::uint8_t* out = record.data();
    ClearRecord(out);
    if (std::memchr(in, kEscapeByte, length) == nullptr) {
        CopyBytes(out, in, std::min(length, kFrameRecordSize));
        return {length, false};
    }
    std::size_t m = 0;
    std::size_t k = 0;
    const auto emit = [&](std::uint8_t b) {
        if (m < kFrameRecordSize) {
            out[m] = b;
        }
        ++m;
    };
    while (k + 1 < length) {
        if (in[k] == kEscapeByte && in[k + 1] == 0x56) {
            emit(0x55);
            k += 2;
        } else if (in[k] == kEscapeByte && in[k + 1] == 0x57) {
            emit(0x56);
            k += 2;
        } else {
            emit(in[k]);
            k += 1;
        }
    }
    bool openEscape = false;
    if (k + 1 == length) {
        openEscape = in[k] == kEscapeByte;
        emit(in[k]);
    }
    return {m, openEscape};
}

}  // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> frame, std::size_t n) {
    return n == 0 ? 0 : CrcOf(frame.data() + 1, n);
}

std::uint8_t ParameterByte(unsigned parameter) {
    const unsigned value = parameter <= 16 ? parameter : (parameter & 0x0F);
    return static_cast<std::uint8_t>(value & 0xFF);
}

std::optional<std::size_t> BuildFrame(std::uint8_t command, std::span<const std::uint8_t> data,
                                      unsigned parameter, std::span<std::uint8_t> out) {
    if (data.size() > kFrameRecordSize - 7) {
        return std::nullopt;
    }
    FrameRecord work{};
    const std::size_t length = data.size();
    work[0] = kStartByte;
    work[frame::kParameter] = ParameterByte(parameter);
    work[2] = 0x00;
    work[frame::kLength] = static_cast<std::uint8_t>(length + 1);
    work[frame::kCommand] = command;
    if (length > 0) {
        std::memcpy(&work[5], data.data(), length);
    }
    const std::uint16_t crc = Crc16(work, length + 4);
    work[length + 5] = static_cast<std::uint8_t>(crc >> 8);
    work[length + 6] = static_cast<std::uint8_t>(crc & 0xFF);

    const std::size_t unescaped = length + 7;
    std::size_t escaped = 1;
    for (std::size_t i = 1; i < unescaped; ++i) {
        escaped += NeedsEscape(work[i]) ? 2 : 1;
    }
    if (escaped > std::min(out.size(), kMaxBuiltFrameSize)) {
        return std::nullopt;
    }
    std::size_t o = 0;
    out[o++] = kStartByte;
    for (std::size_t i = 1; i < unescaped; ++i) {
        const std::uint8_t b = work[i];
        if (NeedsEscape(b)) {
            out[o++] = kEscapeByte;
            out[o++] = b == kStartByte ? 0x56 : 0x57;
        } else {
            out[o++] = b;
        }
    }
    return o;
}

std::size_t ExtractFrames(std::span<std::uint8_t, kReceiveBufferSize> recvBuffer,
                          std::size_t& bufferedBytes, std::span<FrameRecord> records,
                          std::mutex& receiveLock) {
    std::size_t snapshot = 0;
    {
        std::lock_guard lock(receiveLock);
        snapshot = std::min(bufferedBytes, kReceiveBufferSize);
    }
    if (snapshot == 0 || records.empty()) {
        return 0;
    }
    // Bytes [0, snapshot) are stable without the lock: the appender only writes behind the
    // count it reads, and nothing else compacts this buffer.
    const std::uint8_t* base = recvBuffer.data();
    const auto* first = static_cast<const std::uint8_t*>(std::memchr(base, kStartByte, snapshot));
    if (first == nullptr) {
        return 0;
    }

    std::size_t consumed = static_cast<std::size_t>(first - base);
    std::size_t produced = 0;
    while (consumed < snapshot && produced < records.size()) {
        const std::uint8_t* chunk = base + consumed;
        const std::size_t available = snapshot - consumed;
        const auto* next = available > 1 ? static_cast<const std::uint8_t*>(
                                               std::memchr(chunk + 1, kStartByte, available - 1))
                                         : nullptr;
        const std::size_t chunkLength =
            next != nullptr ? static_cast<std::size_t>(next - chunk) : available;
        const bool isLast = next == nullptr;

        FrameRecord& record = records[produced];
        const UnescapeResult unescaped = Unescape(chunk, chunkLength, record);
        if (unescaped.length > kFrameRecordSize) {
            consumed += chunkLength;  // longer than any frame: it can never become one
            continue;
        }
        const std::size_t length = record[frame::kLength];
        // The last frame waits for the rest while it is short, and also while its final frame
        // byte is the first half of an escape pair split across two receives: taken alone it
        // would fail the CRC and the frame would be lost.
        const bool splitEscape = unescaped.openEscape && unescaped.length <= length + 6;
        if (isLast && (length == 0 || unescaped.length < length + 6 || splitEscape)) {
            break;
        }
        consumed += chunkLength;
        // The same test as a zero CRC over bytes 1 .. L+5, two bytes shorter: for this CRC (no
        // reflection, zero init and final XOR) the remainder over data + CRC is zero exactly
        // when the CRC bytes equal the CRC of the data.
        const std::uint16_t stored =
            static_cast<std::uint16_t>((record[length + 4] << 8) | record[length + 5]);
        if (CrcOf(record.data() + 1, length + 3) == stored) {
            ++produced;
        }
    }

    if (consumed > 0) {
        std::lock_guard lock(receiveLock);
        const std::size_t remaining = bufferedBytes - consumed;
        if (remaining == 0) {
            std::memset(recvBuffer.data(), 0, consumed);
        } else {
            std::memmove(recvBuffer.data(), recvBuffer.data() + consumed, remaining);
        }
        bufferedBytes = remaining;
    }
    return produced;
}

bool IsUndecodableFullBuffer(std::span<const std::uint8_t> validBytes) {
    return validBytes.size() == kReceiveBufferSize &&
           std::memchr(validBytes.data(), kStartByte, validBytes.size()) == nullptr;
}

bool CopyBytesToText(std::span<const std::uint8_t> data, std::size_t n, std::string& text) {
    if (n > data.size()) {
        return false;
    }
    text.assign(reinterpret_cast<const char*>(data.data()), n);
    return true;
}

}  // namespace trelvane
