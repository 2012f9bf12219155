// Feeds hostile bytes to the decoders of the history's rollup lists (a row's sequence numbers
// and its readers with their last read times), as a damaged or foreign database would hold
// them. Input: 8 bytes of the row's minute or first sequence number, then the list's bytes.
// Checks:
//  - nothing is read out of bounds and no arithmetic overflows (the sanitizers watch);
//  - a reader list that decodes has strictly ascending readers, every time inside its minute,
//    and encodes to bytes that decode to the same list;
//  - a sequence list that decodes without wrapping round is ascending and re-encodes to bytes
//    that decode to the same numbers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "history/Schema.h"

namespace schema = trelvane::history::schema;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) {
        return 0;
    }
    std::uint64_t head = 0;
    std::memcpy(&head, data, 8);
    const std::span<const std::uint8_t> bytes(data + 8, size - 8);

    const auto minute = static_cast<std::int64_t>(head);
    std::vector<schema::ReaderLast> readers;
    if (schema::DecodeReaderList(minute, bytes, readers)) {
        for (std::size_t i = 0; i < readers.size(); ++i) {
            if ((i > 0 && readers[i].reader <= readers[i - 1].reader) ||
                schema::MinuteOf(readers[i].lastTime) != minute) {
                std::abort();
            }
        }
        std::vector<std::uint8_t> again;
        schema::EncodeReaderList(minute, readers, again);
        std::vector<schema::ReaderLast> back;
        if (!schema::DecodeReaderList(minute, again, back) || back != readers) {
            std::abort();
        }
    }

    std::vector<std::uint64_t> seqs;
    if (schema::DecodeSeqList(head, bytes, seqs) && !seqs.empty()) {
        bool ascending = true;
        for (std::size_t i = 1; i < seqs.size(); ++i) {
            ascending = ascending && seqs[i] >= seqs[i - 1];
        }
        if (ascending) {
            std::vector<std::uint8_t> again;
            schema::EncodeSeqList(seqs, again);
            std::vector<std::uint64_t> back;
            if (!schema::DecodeSeqList(seqs.front(), again, back) || back != seqs) {
                std::abort();
            }
        }
    }
    return 0;
}
