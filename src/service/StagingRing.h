#pragma once

// Bytes a reader sent that the receive path has already read and acknowledged but that do not
// fit its 1024-byte device buffer yet. The event loop pushes chunk by chunk; the parse thread
// refills the device buffer from it after each deframing, in order, so a streaming reader's
// socket is paused only when this ring is full too instead of once per kilobyte (a thread round
// trip each). The storage exists only while bytes wait: it is taken at the first push and given
// back when the ring empties, so an idle reader costs a few words.
//
// Thread-safety: none; the device record's receiveLock guards it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace trelvane {

class StagingRing {
  public:
    static constexpr std::size_t kCapacity = 16 * 1024;

    std::size_t Size() const { return size_; }
    std::size_t Room() const { return kCapacity - size_; }
    bool Empty() const { return size_ == 0; }
    bool Allocated() const { return bytes_ != nullptr; }

    // Appends `n` bytes; the caller keeps n <= Room().
    void Push(const std::uint8_t* data, std::size_t n) {
        if (n == 0) {
            return;
        }
        if (!bytes_) {
            bytes_ = std::make_unique<std::array<std::uint8_t, kCapacity>>();
            head_ = 0;
        }
        std::size_t tail = (head_ + size_) % kCapacity;
        const std::size_t first = std::min(n, kCapacity - tail);
        std::memcpy(bytes_->data() + tail, data, first);
        std::memcpy(bytes_->data(), data + first, n - first);
        size_ += n;
    }

    // Moves up to `max` of the oldest bytes to `out`; returns how many. Gives the storage back
    // when nothing is left.
    std::size_t PopInto(std::uint8_t* out, std::size_t max) {
        const std::size_t n = std::min(max, size_);
        if (n == 0) {
            return 0;
        }
        const std::size_t first = std::min(n, kCapacity - head_);
        std::memcpy(out, bytes_->data() + head_, first);
        std::memcpy(out + first, bytes_->data(), n - first);
        head_ = (head_ + n) % kCapacity;
        size_ -= n;
        if (size_ == 0) {
            bytes_.reset();
        }
        return n;
    }

    void Clear() {
        bytes_.reset();
        size_ = 0;
    }

  private:
    std::unique_ptr<std::array<std::uint8_t, kCapacity>> bytes_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace trelvane
