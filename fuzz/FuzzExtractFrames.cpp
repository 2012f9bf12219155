// Feeds ExtractFrames random byte streams in random chunkings, the way the receive path fills a
// device buffer, and checks its invariants:
//  - nothing is read or written out of bounds (the sanitizers watch);
//  - every record it returns passes the CRC check and is zero behind its chunk;
//  - the buffered count never exceeds the buffer;
//  - frames made by BuildFrame, delivered in arbitrary pieces behind arbitrary leading junk, are
//    recovered exactly once and in order.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "protocol/FrameCodec.h"

namespace {

using trelvane::FrameRecord;

struct Device {
    std::array<std::uint8_t, trelvane::kReceiveBufferSize> buffer{};
    std::size_t buffered = 0;
    std::mutex lock;
};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::size_t Extract(Device& d, std::size_t capacity, std::vector<FrameRecord>& out) {
    std::vector<FrameRecord> records(capacity);
    const std::size_t n = trelvane::ExtractFrames(d.buffer, d.buffered, records, d.lock);
    Check(n <= capacity);
    Check(d.buffered <= trelvane::kReceiveBufferSize);
    for (std::size_t i = 0; i < n; ++i) {
        const FrameRecord& r = records[i];
        Check(trelvane::Crc16(r, std::size_t{r[3]} + 5) == 0);
        out.push_back(r);
    }
    return n;
}

// Appends `bytes`, deframing first whenever they do not fit (the receive path holds the reader
// back instead of dropping). Deframing that frees no room must leave only start-less bytes,
// which can never become a frame: those are discarded, as the service does.
void Deliver(Device& d, const std::uint8_t* bytes, std::size_t size, std::size_t capacity,
             std::vector<FrameRecord>& out) {
    while (d.buffered + size > d.buffer.size()) {
        const std::size_t before = d.buffered;
        Extract(d, capacity, out);
        if (d.buffered == before) {
            Check(std::memchr(d.buffer.data(), 0x55, d.buffered) == nullptr);
            d.buffered = 0;
        }
    }
    if (size > 0) {
        std::memcpy(d.buffer.data() + d.buffered, bytes, size);
        d.buffered += size;
    }
}

void RandomStream(FuzzedDataProvider& in) {
    Device d;
    std::vector<FrameRecord> out;
    while (in.remaining_bytes() > 0) {
        const auto size = in.ConsumeIntegralInRange<std::size_t>(0, 300);
        const auto capacity = in.ConsumeIntegralInRange<std::size_t>(1, 50);
        const std::vector<std::uint8_t> chunk = in.ConsumeBytes<std::uint8_t>(size);
        Deliver(d, chunk.data(), chunk.size(), capacity, out);
        if (in.ConsumeBool()) {
            Extract(d, capacity, out);
        }
    }
    while (Extract(d, 50, out) > 0) {
    }
}

void BuiltFrames(FuzzedDataProvider& in) {
    Device d;
    std::vector<std::vector<std::uint8_t>> sent;  // unescaped
    std::vector<std::uint8_t> stream = in.ConsumeBytes<std::uint8_t>(
        in.ConsumeIntegralInRange<std::size_t>(0, 40));  // leading junk
    const auto frames = in.ConsumeIntegralInRange<int>(0, 40);
    for (int f = 0; f < frames; ++f) {
        const auto command = in.ConsumeIntegral<std::uint8_t>();
        const auto parameter = in.ConsumeIntegral<std::uint16_t>();
        const std::vector<std::uint8_t> data =
            in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 100));
        std::array<std::uint8_t, 264> wire{};
        const auto n = trelvane::BuildFrame(command, data, parameter, wire);
        if (!n) {
            continue;
        }
        std::vector<std::uint8_t> plain = {0x55, trelvane::ParameterByte(parameter), 0,
                                           static_cast<std::uint8_t>(data.size() + 1), command};
        plain.insert(plain.end(), data.begin(), data.end());
        const std::uint16_t crc = trelvane::Crc16(plain, plain.size() - 1);
        plain.push_back(static_cast<std::uint8_t>(crc >> 8));
        plain.push_back(static_cast<std::uint8_t>(crc));
        sent.push_back(plain);
        stream.insert(stream.end(), wire.begin(), wire.begin() + static_cast<long>(*n));
    }

    std::vector<FrameRecord> out;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const auto piece =
            std::min(stream.size() - pos, in.ConsumeIntegralInRange<std::size_t>(1, 256));
        Deliver(d, stream.data() + pos, piece, in.ConsumeIntegralInRange<std::size_t>(1, 50), out);
        pos += piece;
    }
    while (Extract(d, 50, out) > 0) {
    }

    // Leading junk may itself contain start bytes and yield records; the built frames are the
    // last `sent.size()` records, in order, each exactly once.
    Check(out.size() >= sent.size());
    const std::size_t offset = out.size() - sent.size();
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const FrameRecord& r = out[offset + i];
        Check(std::memcmp(r.data(), sent[i].data(), sent[i].size()) == 0);
        for (std::size_t k = sent[i].size(); k < r.size(); ++k) {
            Check(r[k] == 0);
        }
    }
    // Junk without a start byte stays until a frame follows it; behind a frame nothing stays.
    Check(sent.empty() || d.buffered == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        RandomStream(in);
    } else {
        BuiltFrames(in);
    }
    return 0;
}
