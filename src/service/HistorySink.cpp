#include "service/HistorySink.h"

#include <QLoggingCategory>

#include "history/Reader.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace trelvane {
namespace {

// A name table of a long run stays small: readers are few, but keys change with every
// reconnection.
constexpr std::size_t kMaxCachedNames = 4096;

}  // namespace

std::unique_ptr<HistorySink> HistorySink::Open(const HistoryConfig& config,
                                               const std::filesystem::path& workingFolder,
                                               int codePage, const Clock& clock,
                                               const std::string& guardedOutput,
                                               std::string& error) {
    history::Options options;
    options.path = ResolveHistoryPath(config, workingFolder);
    options.keepReads = config.reads;
    options.retentionDays = config.retentionDays;
    options.maxSizeBytes = config.MaxSizeBytes();
    options.guardedOutput = guardedOutput;
    auto writer = history::Writer::Open(options);
    if (!writer) {
        error = writer.error().text;
        return nullptr;
    }
    std::unique_ptr<HistorySink> sink(
        new HistorySink(std::move(writer).value(), options.path, codePage, clock));
    sink->DepartLeftOpen();
    return sink;
}

// Arrivals without a depart were left by a process that was killed (a stop departs every
// present tag): they depart at the last read the history has of them, numbered on from the
// largest number stored, before the service numbers anything.
void HistorySink::DepartLeftOpen() {
    auto reader = history::Reader::Open(path_);
    if (!reader) {
        return;
    }
    auto open = reader->OpenArrivals();
    if (!open || open->empty()) {
        return;
    }
    std::vector<history::PresenceEvent> departs;
    departs.reserve(open->size());
    Sequence seq = lastSequence_;
    for (const history::OpenArrival& arrival : *open) {
        departs.push_back(history::PresenceEvent{++seq, arrival.lastReadMs.value_or(arrival.timeMs),
                                                 arrival.tag, arrival.reader, arrival.device,
                                                 history::PresenceKind::kDepart});
    }
    const history::Status stored = writer_.Append(history::Batch{{}, {}, departs, {}});
    if (!stored) {
        qCWarning(lcService).noquote() << "history: cannot close the arrivals left open:"
                                       << QString::fromStdString(stored.error().text);
        return;
    }
    lastSequence_ = writer_.LastSequence();
    qCInfo(lcService) << "history:" << departs.size()
                      << "arrivals left open by an earlier run departed at their last read";
}

HistorySink::HistorySink(history::Writer writer, std::filesystem::path path, int codePage,
                         const Clock& clock)
    : writer_(std::move(writer)),
      path_(std::move(path)),
      codec_(TextCodec::Usable(codePage)),
      clock_(clock),
      lastSequence_(writer_.LastSequence()),
      historyId_(writer_.HistoryId()) {
    status_.writing = true;
}

HistorySink::~HistorySink() = default;

const std::string& HistorySink::Utf8(const std::string& raw) {
    auto found = names_.find(raw);
    if (found == names_.end()) {
        found = names_.emplace(raw, codec_.ToUtf8(raw)).first;
    }
    return found->second;
}

void HistorySink::Fail(const history::Error& error) {
    if (!failing_) {
        qCWarning(lcService).noquote()
            << "history" << QString::fromStdString(path_.string()) << ":"
            << QString::fromStdString(error.text) << "- running without it, next try in"
            << kRetryInterval.count() << "s";
    }
    failing_ = true;
    retryAt_ = std::chrono::steady_clock::now() + kRetryInterval;
    std::lock_guard lock(statusMutex_);
    status_.writing = false;
    status_.error = error.text;
}

// Batches are gathered here and stored by Flush, which the sink thread calls after each group
// it took from its queue: one transaction per group, so a history behind under load writes in
// larger steps (a transaction per parse pass costs most of the write rate). The batches of a
// group stay alive until after Flush, so the views into them hold.
void HistorySink::Consume(const EventBatch& batch) {
    if (retryAt_ && std::chrono::steady_clock::now() < *retryAt_) {
        std::lock_guard lock(statusMutex_);
        status_.missed += batch.EventCount();
        return;
    }
    // The texts of the batch's devices once, then views into them.
    std::vector<const std::string*> names(batch.devices.size());
    for (std::size_t i = 0; i < batch.devices.size(); ++i) {
        names[i] = &Utf8(batch.devices[i].name);
    }
    for (const ReadEvent& read : batch.reads) {
        reads_.push_back(batch.View(read, *names[read.device]));
    }
    for (const DeviceEvent& event : batch.deviceEvents) {
        devices_.push_back(batch.View(event, *names[event.device]));
    }
    for (const PresenceEvent& event : batch.presence) {
        presence_.push_back(batch.View(event, *names[event.device]));
    }
    for (const ZoneEvent& event : batch.zones) {
        zones_.push_back(batch.View(event, *names[event.device]));
    }
    for (const ZoneSeen& seen : batch.zoneSeen) {
        zoneSeen_.push_back(history::ZoneSeen{seen.tag, seen.lastSeenMs});
    }
    for (const events::AlertRow& alert : batch.alerts) {
        alerts_.push_back(batch.View(alert));
    }
}

void HistorySink::Store() {
    const std::size_t events =
        reads_.size() + devices_.size() + presence_.size() + zones_.size() + alerts_.size();
    if (events == 0 && zoneSeen_.empty()) {
        return;
    }
    const history::Status stored =
        writer_.Append(history::Batch{reads_, devices_, presence_, zones_, zoneSeen_, alerts_});
    zoneSeen_.clear();
    alerts_.clear();
    reads_.clear();
    devices_.clear();
    presence_.clear();
    zones_.clear();
    if (names_.size() >= kMaxCachedNames) {
        names_.clear();  // nothing refers to the names now
    }
    if (!stored) {
        Fail(stored.error());
        std::lock_guard lock(statusMutex_);
        status_.missed += events;
        return;
    }
    if (failing_) {
        qCInfo(lcService).noquote()
            << "history" << QString::fromStdString(path_.string()) << ": writing again";
        failing_ = false;
    }
    retryAt_.reset();
    std::lock_guard lock(statusMutex_);
    status_.writing = true;
    status_.error.clear();
    status_.rows += events;
    storedSincePrune_ += events;
}

void HistorySink::Flush() {
    Store();
    if (failing_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    // Retention runs once a minute when idle, and the size cap is checked again once this many
    // events have been stored: a flood would otherwise outgrow the cap by a minute's worth.
    if (now < nextPrune_ && storedSincePrune_ < kPruneAfterEvents) {
        return;
    }
    // One step per flush: the sink thread takes the next batches between steps. A step is
    // small unless the history is behind, and then no larger than what one flush stored.
    const std::size_t rows = pruneBehind_ ? static_cast<std::size_t>(std::max<std::uint64_t>(
                                                history::kPruneBatchRows, storedSincePrune_))
                                          : history::kPruneBatchRows;
    storedSincePrune_ = 0;
    const auto pruned = writer_.Prune(clock_.UnixMillis(), rows);
    pruneBehind_ = pruned && pruned->more;
    if (!pruned) {
        nextPrune_ = now + kPruneInterval;
        qCWarning(lcService).noquote()
            << "history: pruning failed:" << QString::fromStdString(pruned.error().text);
        return;
    }
    nextPrune_ = pruned->more ? now : now + kPruneInterval;
    const history::WriterCounters counters = writer_.Counters();
    std::lock_guard lock(statusMutex_);
    if (counters.lostToOutput > status_.lostToOutput) {
        qCWarning(lcService) << "history: retention deleted"
                             << counters.lostToOutput - status_.lostToOutput
                             << "events that MQTT had not published yet (lost to MQTT; in all"
                             << counters.lostToOutput << "since the start)";
    }
    status_.lostToOutput = counters.lostToOutput;
    status_.pruned = counters.rowsPruned;
    status_.bytesOnDisk = counters.bytesOnDisk;
}

HistorySink::Status HistorySink::CurrentStatus() const {
    std::lock_guard lock(statusMutex_);
    return status_;
}

}  // namespace trelvane
