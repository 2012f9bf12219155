#include "sim/SimFleet.h"

#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace trelvane {

SimReaderOptions FleetReaderOptions(const SimReaderOptions& base, const std::string& namePrefix,
                                    int index) {
    SimReaderOptions options = base;
    char number[16];
    std::snprintf(number, sizeof number, "%02d", index + 1);
    options.deviceName = namePrefix + number;
    std::snprintf(number, sizeof number, "%08d", index + 1);
    options.serialNo = std::string("SN") + number;
    return options;
}

SimFleet::SimFleet(SimFleetOptions options, const Clock& clock, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    const auto count = static_cast<std::size_t>(std::max(options_.readers, 0));
    readers_.reserve(count);
    inAttempt_.assign(count, false);
    everAttempted_.assign(count, false);
    everConnected_.assign(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        const int index = static_cast<int>(i);
        auto reader = std::make_unique<SimReader>(
            FleetReaderOptions(options_.reader, options_.namePrefix, index), &pacer_, clock);
        connect(reader.get(), &SimReader::Connected, this, [this, index] {
            everConnected_[static_cast<std::size_t>(index)] = true;
            ++connected_;
            AttemptEnded(index, true);
            Q_EMIT ReaderConnected(index);
        });
        connect(reader.get(), &SimReader::ConnectFailed, this, [this, index](const QString& error) {
            AttemptEnded(index, false);
            Q_EMIT ReaderConnectFailed(index, error);
            ScheduleReconnect(index);
        });
        connect(reader.get(), &SimReader::Disconnected, this, [this, index] {
            --connected_;
            Q_EMIT ReaderDisconnected(index);
            ScheduleReconnect(index);
        });
        readers_.push_back(std::move(reader));
    }
}

SimFleet::~SimFleet() {
    running_ = false;
    // Readers first: their destructors deregister from the pacer, which must still exist.
    for (auto& reader : readers_) {
        QObject::disconnect(reader.get(), nullptr, this, nullptr);
    }
    readers_.clear();
}

void SimFleet::Start() {
    if (running_) {
        return;
    }
    running_ = true;
    for (int i = 0; i < Size(); ++i) {
        if (!readers_[static_cast<std::size_t>(i)]->IsConnected()) {
            queue_.push_back(i);
        }
    }
    Launch();
}

void SimFleet::Stop() {
    running_ = false;
    ++generation_;
    queue_.clear();
    inFlight_ = 0;
    std::fill(inAttempt_.begin(), inAttempt_.end(), false);
    for (auto& reader : readers_) {
        reader->Abort();
    }
}

void SimFleet::Launch() {
    const int window = std::max(options_.connectWindow, 1);
    while (running_ && inFlight_ < window && !queue_.empty()) {
        const int index = queue_.front();
        queue_.pop_front();
        inAttempt_[static_cast<std::size_t>(index)] = true;
        ++inFlight_;
        readers_[static_cast<std::size_t>(index)]->ConnectTo(options_.host, options_.port);
    }
}

void SimFleet::AttemptEnded(int index, bool /*connected*/) {
    const auto i = static_cast<std::size_t>(index);
    if (inAttempt_[i]) {
        inAttempt_[i] = false;
        --inFlight_;
    }
    if (!everAttempted_[i]) {
        everAttempted_[i] = true;
        if (++attempted_ == Size()) {
            Q_EMIT AttemptsFinished();
        }
    }
    Launch();
}

void SimFleet::ScheduleReconnect(int index) {
    if (!running_ || options_.reconnectMs <= 0) {
        return;
    }
    const std::uint64_t generation = generation_;
    QTimer::singleShot(options_.reconnectMs, this, [this, index, generation] {
        if (generation != generation_ || !running_ ||
            readers_[static_cast<std::size_t>(index)]->IsConnected()) {
            return;
        }
        queue_.push_back(index);
        Launch();
    });
}

SimFleetTotals SimFleet::Totals() const {
    SimFleetTotals totals;
    totals.readers = Size();
    totals.connected = connected_;
    totals.everConnected =
        static_cast<int>(std::count(everConnected_.begin(), everConnected_.end(), true));
    for (const auto& reader : readers_) {
        const SimReaderStats& stats = reader->Stats();
        totals.reports += stats.reportsSent;
        totals.reportsSkipped += stats.reportsSkipped;
        totals.bytesSent += stats.bytesSent;
        totals.bytesReporting += stats.bytesReporting;
        totals.bytesAcked += stats.bytesAcked;
        totals.bytesReceived += stats.bytesReceived;
    }
    return totals;
}

}  // namespace trelvane
