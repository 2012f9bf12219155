#pragma once

// Bytes a reader sent that the receive path has already read and acknowledged but that do not
// fit its 1024-byte device buffer yet. The event loop pushes chunk by chunk; the parse thread
// refills the device buffer from it after each deframing, in order, so a streaming reader's
// socket is paused only when this ring is full too instead of once per kilobyte (a thread round
// trip each). The storage exists only while bytes wait: it is taken at the first push and given
// back when the ring empties, so an idle reader costs a few words.
//
// A ring starts at kBaseCapacity. One that fills up while its reader keeps sending may grow,
// doubling, to kMaxCapacity: with few readers each pause is a round trip between the threads,
// and a larger ring makes them rarer (a single streaming reader gets about twice through). The
// growth beyond the base of all rings together is bounded by a shared budget, so with many
// readers, where the parse thread has plenty of work per pass anyway, memory stays at the base
// per reader. A ring remembers the size it grew to for its next allocation and halves it when
// an allocation never got past a quarter of it.
//
// Thread-safety: none for the ring (the device record's receiveLock guards it); the budget is
// atomic, shared by rings on any thread.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace trelvane {

class StagingBudget {
  public:
    explicit StagingBudget(std::size_t bytes) : limit_(bytes) {}
    // Takes `bytes` if they fit.
    bool Take(std::size_t bytes) {
        std::size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (used + bytes > limit_) {
                return false;
            }
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }
    void Give(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    std::size_t Used() const { return used_.load(std::memory_order_relaxed); }

    // The process's budget: room for several hundred grown rings.
    static StagingBudget& Shared() {
        static StagingBudget budget(32u << 20);
        return budget;
    }

  private:
    const std::size_t limit_;
    std::atomic<std::size_t> used_{0};
};

class StagingRing {
  public:
    static constexpr std::size_t kBaseCapacity = 16 * 1024;
    static constexpr std::size_t kMaxCapacity = 64 * 1024;

    explicit StagingRing(StagingBudget& budget = StagingBudget::Shared()) : budget_(&budget) {}
    ~StagingRing() { Clear(); }
    StagingRing(const StagingRing&) = delete;
    StagingRing& operator=(const StagingRing&) = delete;

    std::size_t Size() const { return size_; }
    // What the next pushes may add: the storage's room, or at least the base capacity.
    std::size_t Room() const { return bytes_ ? capacity_ - size_ : kBaseCapacity; }
    bool Empty() const { return size_ == 0; }
    bool Allocated() const { return bytes_ != nullptr; }
    std::size_t Capacity() const { return bytes_ ? capacity_ : 0; }

    // Appends `n` bytes; the caller keeps n <= Room().
    void Push(const std::uint8_t* data, std::size_t n) {
        if (n == 0) {
            return;
        }
        if (!bytes_) {
            Allocate(preferred_);
        }
        const std::size_t tail = (head_ + size_) % capacity_;
        const std::size_t first = std::min(n, capacity_ - tail);
        std::memcpy(bytes_.get() + tail, data, first);
        std::memcpy(bytes_.get(), data + first, n - first);
        size_ += n;
        peak_ = std::max(peak_, size_);
    }

    // Doubles a full ring's storage, if it is below kMaxCapacity and the budget has room; the
    // bytes keep their order. False when it stays as it is.
    bool Grow() {
        if (!bytes_ || size_ < capacity_ || capacity_ >= kMaxCapacity ||
            !budget_->Take(capacity_)) {
            return false;
        }
        auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_ * 2);
        const std::size_t first = std::min(size_, capacity_ - head_);
        std::memcpy(grown.get(), bytes_.get() + head_, first);
        std::memcpy(grown.get() + first, bytes_.get(), size_ - first);
        bytes_ = std::move(grown);
        head_ = 0;
        capacity_ *= 2;
        preferred_ = capacity_;
        return true;
    }

    // Moves up to `max` of the oldest bytes to `out`; returns how many. Gives the storage back
    // when nothing is left.
    std::size_t PopInto(std::uint8_t* out, std::size_t max) {
        const std::size_t n = std::min(max, size_);
        if (n == 0) {
            return 0;
        }
        const std::size_t first = std::min(n, capacity_ - head_);
        std::memcpy(out, bytes_.get() + head_, first);
        std::memcpy(out + first, bytes_.get(), n - first);
        head_ = (head_ + n) % capacity_;
        size_ -= n;
        if (size_ == 0) {
            Release();
        }
        return n;
    }

    void Clear() {
        size_ = 0;
        Release();
    }

  private:
    void Allocate(std::size_t capacity) {
        if (capacity > kBaseCapacity && !budget_->Take(capacity - kBaseCapacity)) {
            capacity = kBaseCapacity;
        }
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
        capacity_ = capacity;
        head_ = 0;
        peak_ = 0;
    }
    void Release() {
        if (!bytes_) {
            return;
        }
        if (peak_ * 4 <= capacity_) {
            preferred_ = std::max(kBaseCapacity, capacity_ / 2);
        }
        budget_->Give(capacity_ - kBaseCapacity);
        bytes_.reset();
        capacity_ = 0;
    }

    StagingBudget* budget_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t capacity_ = 0;
    std::size_t preferred_ = kBaseCapacity;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::size_t peak_ = 0;  // most bytes held since the storage was taken
};

}  // namespace trelvane
