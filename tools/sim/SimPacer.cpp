#include "sim/SimPacer.h"

#include <cmath>

#include "sim/SimReader.h"

namespace trelvane {

SimPacer::SimPacer(QObject* parent) : QObject(parent) {
    timer_.setInterval(kTickMs);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &SimPacer::Tick);
    elapsed_.start();
}

SimPacer::~SimPacer() {
    for (const Entry& entry : entries_) {
        if (entry.reader != nullptr) {
            entry.reader->pacerSlot_ = SimReader::kNoPacerSlot;
        }
    }
}

void SimPacer::Add(SimReader* reader) {
    if (reader->pacerSlot_ != SimReader::kNoPacerSlot) {
        return;
    }
    // Golden-ratio steps keep any number of readers spread over the period.
    constexpr double kGolden = 0.6180339887498949;
    const double fraction = std::fmod(static_cast<double>(added_) * kGolden, 1.0);
    ++added_;
    entries_.push_back(Entry{reader, elapsed_.elapsed(), 0, 1.0 - fraction});
    reader->pacerSlot_ = entries_.size() - 1;
    if (!timer_.isActive()) {
        timer_.start();
    }
}

void SimPacer::Remove(SimReader* reader) {
    const std::size_t slot = reader->pacerSlot_;
    if (slot == SimReader::kNoPacerSlot) {
        return;
    }
    reader->pacerSlot_ = SimReader::kNoPacerSlot;
    if (ticking_) {
        // The tick walks the vector by index; leave a hole and compact after it.
        entries_[slot].reader = nullptr;
        holes_ = true;
        return;
    }
    if (slot + 1 != entries_.size()) {
        entries_[slot] = entries_.back();
        entries_[slot].reader->pacerSlot_ = slot;
    }
    entries_.pop_back();
    if (entries_.empty()) {
        timer_.stop();
    }
}

std::uint32_t SimPacer::NextTag(std::uint32_t first, std::uint32_t count) {
    const std::uint64_t k = tagCursor_++;
    return count == 0 ? first : static_cast<std::uint32_t>(first + k % count);
}

std::size_t SimPacer::PacedReaders() const {
    std::size_t n = 0;
    for (const Entry& entry : entries_) {
        n += entry.reader != nullptr ? 1 : 0;
    }
    return n;
}

void SimPacer::Tick() {
    ticking_ = true;
    const qint64 now = elapsed_.elapsed();
    // By index, and no reference kept across the call: a reader may add or remove entries.
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        SimReader* reader = entries_[i].reader;
        if (reader == nullptr) {
            continue;
        }
        const double rate = reader->Options().rate;
        if (!(rate > 0.0)) {
            continue;
        }
        const double position =
            static_cast<double>(now - entries_[i].startMs) * rate / 1000.0 + entries_[i].phase;
        const auto due = static_cast<std::uint64_t>(std::floor(position));
        if (due <= entries_[i].scheduled) {
            continue;
        }
        const std::uint64_t count = due - entries_[i].scheduled;
        entries_[i].scheduled = due;
        reader->SendPacedReports(count);
    }
    ticking_ = false;
    if (holes_) {
        Compact();
    }
    if (entries_.empty()) {
        timer_.stop();
    }
}

void SimPacer::Compact() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].reader == nullptr) {
            continue;
        }
        entries_[kept] = entries_[i];
        entries_[kept].reader->pacerSlot_ = kept;
        ++kept;
    }
    entries_.resize(kept);
    holes_ = false;
}

}  // namespace trelvane
