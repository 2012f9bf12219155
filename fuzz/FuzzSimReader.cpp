// Drives the simulated reader's protocol core with host bytes in arbitrary pieces: random junk
// and well-built host commands mixed, under random misbehaviour options, with reports and
// reconnects in between. Checks:
//  - nothing is read or written out of bounds (the sanitizers watch);
//  - everything the reader writes is a sequence of whole, CRC-correct frames, one per start byte,
//    each with a command byte a reader sends;
//  - a silent reader writes reports only; its statistics add up.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "protocol/FrameCodec.h"
#include "protocol/HostCommand.h"
#include "sim/SimReaderCore.h"
#include "support/ManualClock.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Decodes the reader's output and checks every frame.
void CheckOutput(const std::vector<std::uint8_t>& out, bool silent) {
    std::vector<std::uint8_t> stream = out;
    stream.push_back(trelvane::kStartByte);  // completes the last frame
    std::size_t starts = 0;
    for (std::uint8_t b : out) {
        starts += b == trelvane::kStartByte ? 1 : 0;
    }
    Check(out.empty() || out[0] == trelvane::kStartByte);

    std::array<std::uint8_t, trelvane::kReceiveBufferSize> buffer{};
    std::size_t buffered = 0;
    std::mutex lock;
    std::array<trelvane::FrameRecord, 64> records;
    std::size_t decoded = 0;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t take = std::min(buffer.size() - buffered, stream.size() - pos);
        std::copy_n(stream.begin() + static_cast<long>(pos), take, buffer.begin() + buffered);
        buffered += take;
        pos += take;
        while (const std::size_t n = trelvane::ExtractFrames(buffer, buffered, records, lock)) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint8_t command = records[i][trelvane::frame::kCommand];
                const std::uint8_t length = records[i][trelvane::frame::kLength];
                switch (command) {
                    case 0x62:
                        Check(length == 2 || length == 14 || length == 17);
                        Check(!silent || length != 2);
                        break;
                    case 0x01:
                    case 0x11:
                    case 0x12:
                    case 0x13:
                    case 0x14:
                    case 0x6F:
                    case 0xB0:
                        Check(!silent);
                        break;
                    default:
                        Check(false);
                }
                ++decoded;
            }
        }
        Check(buffered < buffer.size());
    }
    Check(decoded == starts);
}

std::string Text(FuzzedDataProvider& in) {
    return in.ConsumeRandomLengthString(trelvane::kMaxSimIdentityText + 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    trelvane::SimReaderOptions options;
    options.silent = in.ConsumeBool();
    options.failClock = in.ConsumeBool();
    options.failSet = in.ConsumeBool();
    options.failQuery = in.ConsumeBool();
    options.identityAfter = in.ConsumeIntegralInRange<int>(0, 3);
    options.clockAfter = in.ConsumeIntegralInRange<int>(0, 3);
    options.startAfter = in.ConsumeIntegralInRange<int>(0, 3);
    options.reportLength = in.ConsumeBool() ? 14 : 17;
    options.keepFrames = in.ConsumeBool();
    options.deviceName = Text(in);
    options.productType = Text(in);
    const bool silent = options.silent;

    trelvane::ManualClock clock;
    clock.SetTick(in.ConsumeIntegral<std::uint32_t>());
    trelvane::SimReaderCore core(options, clock);
    std::vector<std::uint8_t> out;

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0: {  // raw bytes
                const auto bytes =
                    in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 1500));
                core.Receive(bytes, out);
                break;
            }
            case 1:
            case 2: {  // a host command, possibly cut in two
                std::array<std::uint8_t, trelvane::kCommandBufferSize> frame{};
                const auto n =
                    trelvane::BuildCommandFrame(in.ConsumeIntegralInRange<int>(0, 8),
                                                in.ConsumeIntegral<std::uint16_t>(), clock, frame);
                if (n) {
                    const std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(0, *n);
                    core.Receive(std::span(frame.data(), cut), out);
                    core.Receive(std::span(frame.data() + cut, *n - cut), out);
                }
                break;
            }
            case 3:
                core.AppendReport(in.ConsumeIntegral<std::uint32_t>(), out);
                break;
            case 4:
                clock.Advance(in.ConsumeIntegralInRange<std::uint32_t>(0, 100000000));
                break;
            case 5:
                core.ResetConnection();
                break;
        }
    }

    CheckOutput(out, silent);
    const trelvane::SimReaderStats& stats = core.Stats();
    Check(stats.bytesSent == out.size());
    std::uint64_t byCommand = 0;
    for (std::uint64_t n : stats.framesByCommand) {
        byCommand += n;
    }
    Check(byCommand == stats.framesReceived);
    Check(!options.keepFrames || core.ReceivedFrames().size() == stats.framesReceived);
    return 0;
}
