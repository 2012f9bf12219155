#pragma once

// What the service does with each batch, without the readers: the history sink stores it, the
// stream hands it to the publisher. Batches are made here with their numbers from one
// sequence, as the parse worker numbers them.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "history/Writer.h"
#include "mqtt/Broker.h"
#include "mqtt/Publisher.h"
#include "support/TempFolder.h"

namespace trelvane::test {

class Site {
  public:
    Site() { Reopen(); }

    // Opens the writer again (a restarted service), numbering on from what it stored.
    void Reopen() {
        writer_.reset();
        history::Options options;
        options.path = Db();
        options.guardedOutput = "mqtt";
        auto writer = history::Writer::Open(options);
        ASSERT_TRUE(writer.ok()) << writer.error().text;
        writer_.emplace(std::move(writer).value());
        next_ = writer_->LastSequence() + 1;
        historyId_ = writer_->HistoryId();
    }

    void Close() { writer_.reset(); }

    std::filesystem::path Db() const { return dir_.Path() / "trelvane.db"; }
    const std::string& HistoryId() const { return historyId_; }
    const TempFolder& Dir() const { return dir_; }
    history::Writer& Writer() { return *writer_; }

    mqtt::PublisherOptions Options(int port, int qos = 1) const {
        mqtt::PublisherOptions options;
        options.config.enabled = true;
        options.config.host = "127.0.0.1";
        options.config.port = port;
        options.config.clientId = "site-a";
        options.config.topicPrefix = "trelvane";
        options.config.qos = qos;
        options.config.keepAliveSeconds = 5;
        options.historyPath = Db();
        options.historyId = historyId_;
        options.codePage = 65001;
        options.firstRetry = std::chrono::milliseconds(100);
        options.lastRetry = std::chrono::milliseconds(400);
        return options;
    }

    // A batch of `reads` reads (tags cycling over 50) and, every tenth batch, an arrival, from
    // reader R01 (or `device`); every seventh batch a zone enter and an alert raised for it.
    EventBatch Make(std::size_t reads, std::int64_t timeMs = 1'796'000'000'000,
                    const std::string& device = "10.0.0.5:4001", const std::string& name = "R01") {
        EventBatch batch;
        batch.firstSeq = batch.nextSeq = next_;
        const std::uint32_t d = batch.AddDevice(device, name);
        for (std::size_t i = 0; i < reads; ++i) {
            ReadEvent read;
            read.seq = batch.TakeSeq();
            read.timeMs = timeMs + static_cast<std::int64_t>(i);
            read.report.tag = 10'000'000u + static_cast<std::uint32_t>(read.seq % 50);
            if (read.seq % 3 == 0) {
                read.report.readerTime = ReaderTime{26, 12, 8, 9, 0, 1};
            }
            read.device = d;
            batch.reads.push_back(read);
        }
        if (++batches_ % 10 == 0) {
            PresenceEvent event;
            event.seq = batch.TakeSeq();
            event.timeMs = timeMs;
            event.tag = 10'000'001u + static_cast<std::uint32_t>(batches_);
            event.device = d;
            batch.presence.push_back(event);
        }
        if (batches_ % 7 == 0) {
            ZoneEvent enter;
            enter.zone = static_cast<std::uint32_t>(batch.zoneNames.size());
            enter.seq = batch.TakeSeq();
            enter.timeMs = timeMs;
            enter.tag = 10'000'002u;
            batch.zoneNames.push_back("Dock");
            enter.device = d;
            enter.sinceMs = enter.lastSeenMs = timeMs;
            batch.zones.push_back(enter);
            batch.alerts.push_back(events::AlertRow{
                batch.TakeSeq(), timeMs, events::AlertEventKind::kRaised, 0, "dock",
                events::RuleKind::kForbidden, enter.tag, "Dock", name, timeMs, "not allowed", ""});
        }
        next_ = batch.nextSeq;
        return batch;
    }

    // Stores the batch (as the history sink would), then offers it (as the stream would).
    void Emit(const EventBatch& batch, mqtt::Publisher* publisher) {
        std::vector<history::Read> reads;
        std::vector<history::DeviceEvent> devices;
        std::vector<history::PresenceEvent> presence;
        for (const ReadEvent& r : batch.reads) {
            const EventDevice& d = batch.devices[r.device];
            reads.push_back(
                history::Read{r.seq, r.timeMs, r.report.tag, d.name, d.key, r.report.readerTime});
            sentReads_.insert(r.seq);
        }
        for (const DeviceEvent& e : batch.deviceEvents) {
            const EventDevice& d = batch.devices[e.device];
            devices.push_back(history::DeviceEvent{
                e.seq, e.timeMs, static_cast<history::DeviceEventKind>(e.kind), d.name, d.key});
        }
        for (const PresenceEvent& p : batch.presence) {
            const EventDevice& d = batch.devices[p.device];
            presence.push_back(history::PresenceEvent{p.seq, p.timeMs, p.tag, d.name, d.key,
                                                      p.kind == PresenceKind::kArrive
                                                          ? history::PresenceKind::kArrive
                                                          : history::PresenceKind::kDepart});
            sentPresence_.insert(p.seq);
        }
        std::vector<history::ZoneEvent> zones;
        for (const ZoneEvent& z : batch.zones) {
            zones.push_back(batch.View(z, batch.devices[z.device].name));
            sentZones_.insert(z.seq);
        }
        std::vector<history::AlertEvent> alerts;
        for (const events::AlertRow& a : batch.alerts) {
            alerts.push_back(batch.View(a));
            sentAlerts_.insert(a.seq);
        }
        const history::Status stored =
            writer_->Append(history::Batch{reads, devices, presence, zones, {}, alerts});
        ASSERT_TRUE(stored.ok()) << stored.error().text;
        if (publisher != nullptr) {
            publisher->Offer(batch);
        }
    }

    // `count` batches of `reads` reads each.
    void Flood(mqtt::Publisher* publisher, int count, std::size_t reads = 200) {
        for (int i = 0; i < count; ++i) {
            Emit(Make(reads), publisher);
        }
    }

    const std::set<std::uint64_t>& SentReads() const { return sentReads_; }
    const std::set<std::uint64_t>& SentPresence() const { return sentPresence_; }
    const std::set<std::uint64_t>& SentZones() const { return sentZones_; }
    const std::set<std::uint64_t>& SentAlerts() const { return sentAlerts_; }
    Sequence Last() const { return next_ - 1; }

  private:
    TempFolder dir_;
    std::optional<history::Writer> writer_;
    Sequence next_ = 1;
    int batches_ = 0;
    std::string historyId_;
    std::set<std::uint64_t> sentReads_, sentPresence_, sentZones_, sentAlerts_;
};

}  // namespace trelvane::test
