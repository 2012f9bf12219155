#include "mqtt/Backlog.h"

#include <algorithm>
#include <utility>

namespace trelvane::mqtt {
namespace {

// How often the cursor is stored while it moves: a kill re-sends at most this much.
constexpr std::chrono::milliseconds kCursorStoreInterval{250};

}  // namespace

Backlog::Backlog(std::filesystem::path historyPath, const Addressing& addressing,
                 events::LabelSource labels, Log& log)
    : historyPath_(std::move(historyPath)),
      addressing_(addressing),
      labels_(std::move(labels)),
      log_(log) {}

bool Backlog::Open(const std::string& outboxName, std::uint64_t& newest, std::string& error) {
    auto outbox = history::Outbox::Open(historyPath_, outboxName);
    if (!outbox) {
        error = outbox.error().text;
        return false;
    }
    outbox_.emplace(std::move(outbox).value());
    if (auto reader = history::Reader::Open(historyPath_)) {
        if (const auto last = reader->LastSequence()) {
            newest = last.value();
        }
        reader_.emplace(std::move(reader).value());
    }
    return true;
}

bool Backlog::Step(BrokerLink& link, std::uint64_t upper) {
    if (!reader_) {
        auto opened = history::Reader::Open(historyPath_);
        if (!opened) {
            log_.Say("cannot read the history: " + opened.error().text, true);
            return false;
        }
        reader_.emplace(std::move(opened).value());
    }
    const auto last = reader_->LastSequence();
    if (!last) {
        log_.Say("cannot read the history: " + last.error().text, true);
        reader_.reset();
        return false;
    }
    const std::uint64_t sent = link.Sent();
    std::uint64_t limit = std::min(upper, last.value());
    waitingForHistory_ = upper != UINT64_MAX && last.value() < upper;
    if (limit <= sent) {
        return false;
    }
    history::Filter filter;
    filter.afterSeq = sent;
    filter.limit = kMaxListItems;
    auto reads = reader_->Reads(filter);
    auto presence = reader_->Presence(filter);
    auto zones = reader_->Zones(filter);
    auto alerts = reader_->Alerts(filter);
    if (!reads || !presence || !zones || !alerts) {
        log_.Say("cannot read the backlog: " + (!reads      ? reads.error().text
                                                : !presence ? presence.error().text
                                                : !zones    ? zones.error().text
                                                            : alerts.error().text),
                 true);
        reader_.reset();
        return false;
    }
    // A full list may stop short of `limit`: the range ends where the shortest one does.
    const auto cut = [&](const auto& rows) {
        if (rows.size() == kMaxListItems) {
            limit = std::min(limit, rows.back().seq);
        }
    };
    cut(*reads);
    cut(*presence);
    cut(*zones);
    cut(*alerts);
    const std::shared_ptr<const events::Labels> labels = labels_ ? labels_() : nullptr;
    MessageBuilder builder(addressing_, labels.get());
    for (const history::ReadRow& r : *reads) {
        if (r.seq <= limit) {
            builder.AddRead(events::View(r));
        }
    }
    for (const history::PresenceRow& p : *presence) {
        if (p.seq <= limit) {
            builder.AddPresence(events::View(p));
        }
    }
    for (const history::ZoneRow& z : *zones) {
        if (z.seq <= limit) {
            builder.AddZone(events::View(z));
        }
    }
    for (const history::AlertRow& a : *alerts) {
        if (a.seq <= limit) {
            builder.AddAlert(events::View(a));
        }
    }
    const std::vector<Message> messages = builder.Finish();
    if (!link.Send(messages, limit)) {
        return false;
    }
    for (const Message& m : messages) {
        fromHistory_ += m.events;
    }
    return true;
}

void Backlog::StoreCursor(std::uint64_t acked, bool force) {
    if (acked <= outbox_->Cursor()) {
        return;
    }
    const auto now = SteadyClock::now();
    if (!force && now - lastStore_ < kCursorStoreInterval) {
        return;
    }
    lastStore_ = now;
    if (const history::Status st = outbox_->Advance(acked); !st) {
        log_.Say("cannot store the cursor: " + st.error().text, true);
    }
}

}  // namespace trelvane::mqtt
