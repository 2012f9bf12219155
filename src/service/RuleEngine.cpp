#include "service/RuleEngine.h"

#include <algorithm>
#include <unordered_set>

namespace trelvane {
namespace {

using events::RuleKind;

constexpr std::int64_t kRetryMs = 1'000;  // a raise refused by the bound is tried again

std::int64_t MsOf(const site::Rule& rule) {
    return rule.seconds * 1000;
}

bool IsReaderKind(RuleKind kind) {
    return kind == RuleKind::kReaderOffline || kind == RuleKind::kReaderSilent;
}

std::string TagText(std::uint32_t tag) {
    return "tag " + std::to_string(tag);
}

// What one raised condition says, for a person.
std::string RaisedText(const site::Rule& rule, std::optional<std::uint32_t> tag,
                       std::string_view reader) {
    const std::string seconds = std::to_string(rule.seconds) + " s";
    const std::string who = tag ? TagText(*tag) : std::string();
    switch (rule.kind) {
        case RuleKind::kDwell:
            return who + " in " + rule.zone + " for more than " + seconds;
        case RuleKind::kAbsent:
            return who + " not read " + (rule.zone.empty() ? "anywhere" : "in " + rule.zone) +
                   " for " + seconds;
        case RuleKind::kForbidden:
            return who + " of group " + rule.group + " entered " + rule.zone;
        case RuleKind::kUnregistered:
            return who + ", not in the register, read by " + std::string(reader);
        case RuleKind::kReaderOffline:
            return "reader " + std::string(reader) + " not connected and reading for " + seconds;
        case RuleKind::kReaderSilent:
            return "reader " + std::string(reader) + " reading but no tag read for " + seconds;
        case RuleKind::kTooManyAlerts:
            break;
    }
    return {};
}

}  // namespace

namespace {

events::AlertRow RowOfSeq(const events::Alert& alert, Sequence seq) {
    events::AlertRow row = events::Owned(alert);
    row.seq = seq;
    return row;
}

}  // namespace

RuleEngine::RuleEngine(std::int64_t goneAfterMs, std::size_t maxOpen)
    : goneAfterMs_(goneAfterMs), maxOpen_(maxOpen) {}

void RuleEngine::Watch::Schedule(std::uint32_t key, Item& item, std::int64_t atMs) {
    ++item.generation;
    // Never at or before the time being expired: Expire pops until the heap's top is later.
    atMs = std::max(atMs, lastExpireMs + 1);
    dues.push(Due{atMs, key, item.generation});
}

std::string RuleEngine::KeyOf(const std::string& rule, std::optional<std::uint32_t> tag,
                              std::string_view reader) {
    std::string key = rule;
    key.push_back('\x1f');
    if (tag) {
        key += 't' + std::to_string(*tag);
    } else {
        key.push_back('r');
        key += reader;
    }
    return key;
}

void RuleEngine::Restore(std::vector<Open> open) {
    for (Open& o : open) {
        if (o.raised.ruleKind == RuleKind::kReaderOffline) {
            // Offline since before the restart: the condition holds from then on.
            ReaderState& reader = readers_[Reader(o.raised.reader)];
            reader.changedMs = std::min(reader.changedMs, o.raised.sinceMs);
            reader.expected = true;
        }
        std::string key = o.raised.ruleKind == RuleKind::kTooManyAlerts
                              ? KeyOf(o.raised.rule, std::nullopt, "")
                              : KeyOf(o.raised.rule, o.raised.tag, o.raised.reader);
        restored_.emplace(std::move(key), std::move(o));
    }
}

RuleEngine::ReaderId RuleEngine::Reader(std::string_view name) {
    const auto [it, added] =
        readerIds_.try_emplace(std::string(name), static_cast<ReaderId>(readers_.size()));
    if (added) {
        ReaderState state;
        state.name = std::string(name);
        state.changedMs = startedMs_ == INT64_MIN ? INT64_MAX : startedMs_;
        if (std::uint32_t zone = snapshot_->ZoneOfReader(name); zone != site::Snapshot::kNoZone) {
            state.zone = snapshot_->Zones()[zone].name;
            state.expected = true;
        }
        readers_.push_back(std::move(state));
    }
    return it->second;
}

bool RuleEngine::Covers(const site::Rule& rule, std::uint32_t tag) const {
    if (rule.tag) {
        return tag == *rule.tag;
    }
    if (rule.group.empty()) {
        return true;
    }
    const std::optional<site::Label> label = snapshot_->AssetOf(tag);
    return label && label->group == rule.group;
}

void RuleEngine::Raise(Watch& watch, std::uint32_t key, Item& item, std::int64_t nowMs,
                       const Emit& emit) {
    if (item.raised) {
        return;
    }
    const site::Rule& rule = watch.rule;
    const bool aboutReader = IsReaderKind(rule.kind);
    const std::optional<std::uint32_t> tag =
        aboutReader ? std::nullopt : std::optional<std::uint32_t>(key);
    const std::string& reader = aboutReader ? readers_[key].name : item.reader;
    std::string openKey = KeyOf(rule.name, tag, aboutReader ? reader : std::string_view());
    if (auto restored = restored_.find(openKey); restored != restored_.end()) {
        // Raised before a restart and still holding: no new event.
        openBySeq_[restored->second.raised.seq] = openKey;
        open_.emplace(std::move(openKey), std::move(restored->second));
        restored_.erase(restored);
        item.raised = true;
        return;
    }
    if (open_.size() - (tooManyKey_ ? 1 : 0) >= maxOpen_) {
        if (!item.suppressed) {
            item.suppressed = true;
            ++suppressed_;
        }
        TooMany(nowMs, emit);
        return;
    }
    const std::string text = RaisedText(rule, tag, reader);
    // An unknown tag is a condition from its first read; the others from what they measure.
    const std::int64_t since = rule.kind == RuleKind::kUnregistered ? item.firstMs : item.lastMs;
    const events::Alert alert{0,     nowMs,     events::AlertEventKind::kRaised,
                              0,     rule.name, rule.kind,
                              tag,   item.zone, reader,
                              since, text,      ""};
    const Sequence seq = emit(alert);
    openBySeq_[seq] = openKey;
    open_.emplace(std::move(openKey), Open{RowOfSeq(alert, seq), std::nullopt});
    item.raised = true;
    item.suppressed = false;
}

void RuleEngine::ClearOpen(const std::string& key, std::int64_t nowMs, const Emit& emit) {
    const auto it = open_.find(key);
    if (it == open_.end()) {
        return;
    }
    const events::AlertRow& r = it->second.raised;
    const events::Alert alert{0,         nowMs,  events::AlertEventKind::kCleared,
                              r.seq,     r.rule, r.ruleKind,
                              r.tag,     r.zone, r.reader,
                              r.sinceMs, "",     ""};
    emit(alert);
    openBySeq_.erase(r.seq);
    open_.erase(it);
    if (tooManyKey_ && key == *tooManyKey_) {
        tooManyKey_.reset();
    }
}

void RuleEngine::Clear(Watch& watch, std::uint32_t key, Item& item, std::int64_t nowMs,
                       const Emit& emit) {
    item.suppressed = false;
    if (!item.raised) {
        return;
    }
    item.raised = false;
    const bool aboutReader = IsReaderKind(watch.rule.kind);
    ClearOpen(KeyOf(watch.rule.name, aboutReader ? std::nullopt : std::optional<std::uint32_t>(key),
                    aboutReader ? std::string_view(readers_[key].name) : std::string_view()),
              nowMs, emit);
}

void RuleEngine::TooMany(std::int64_t nowMs, const Emit& emit) {
    if (tooManyKey_) {
        return;
    }
    const std::string name(events::Name(RuleKind::kTooManyAlerts));
    std::string key = KeyOf(name, std::nullopt, "");
    if (auto restored = restored_.find(key); restored != restored_.end()) {
        openBySeq_[restored->second.raised.seq] = key;
        open_.emplace(key, std::move(restored->second));
        restored_.erase(restored);
    } else {
        const std::string text =
            std::to_string(maxOpen_) + " alerts are open: new conditions are counted, not raised";
        const events::Alert alert{0,
                                  nowMs,
                                  events::AlertEventKind::kRaised,
                                  0,
                                  name,
                                  RuleKind::kTooManyAlerts,
                                  std::nullopt,
                                  "",
                                  "",
                                  nowMs,
                                  text,
                                  ""};
        const Sequence seq = emit(alert);
        openBySeq_[seq] = key;
        open_.emplace(key, Open{RowOfSeq(alert, seq), std::nullopt});
    }
    tooManyKey_ = std::move(key);
}

void RuleEngine::CheckBound(std::int64_t nowMs, const Emit& emit) {
    if (tooManyKey_ && open_.size() - 1 < maxOpen_) {
        ClearOpen(*tooManyKey_, nowMs, emit);
    }
}

void RuleEngine::Fire(Watch& watch, std::uint32_t key, Item& item, std::int64_t nowMs,
                      const Emit& emit) {
    const site::Rule& rule = watch.rule;
    switch (rule.kind) {
        case RuleKind::kDwell:
        case RuleKind::kAbsent:
            if (nowMs - item.lastMs >= MsOf(rule)) {
                Raise(watch, key, item, nowMs, emit);
                if (!item.raised) {
                    watch.Schedule(key, item, nowMs + kRetryMs);
                }
            } else {
                watch.Schedule(key, item, item.lastMs + MsOf(rule));
            }
            return;
        case RuleKind::kForbidden:
            Raise(watch, key, item, nowMs, emit);
            if (!item.raised) {
                watch.Schedule(key, item, nowMs + kRetryMs);
            }
            return;
        case RuleKind::kUnregistered:
            if (nowMs - item.lastMs >= goneAfterMs_) {
                Clear(watch, key, item, nowMs, emit);
                watch.items.erase(key);
                return;
            }
            if (!item.raised) {
                Raise(watch, key, item, nowMs, emit);
            }
            watch.Schedule(key, item,
                           item.raised ? item.lastMs + goneAfterMs_
                                       : std::min(nowMs + kRetryMs, item.lastMs + goneAfterMs_));
            return;
        default:
            return;
    }
}

void RuleEngine::StartWatch(Watch& watch, const std::vector<InZone>& stays, std::int64_t nowMs,
                            const Emit& emit) {
    const site::Rule& rule = watch.rule;
    const auto adopt = [&](std::uint32_t key, Item& item) {
        if (restored_.count(KeyOf(rule.name, key, "")) != 0) {
            Raise(watch, key, item, nowMs, emit);
        }
    };
    switch (rule.kind) {
        case RuleKind::kDwell:
        case RuleKind::kForbidden:
            for (const InZone& stay : stays) {
                if (stay.zone != rule.zone || !Covers(rule, stay.tag)) {
                    continue;
                }
                Item& item = watch.items[stay.tag];
                item.lastMs = stay.sinceMs;
                item.zone = stay.zone;
                item.reader = stay.reader;
                adopt(stay.tag, item);
                if (rule.kind == RuleKind::kForbidden) {
                    Fire(watch, stay.tag, item, nowMs, emit);
                } else if (!item.raised) {
                    watch.Schedule(stay.tag, item, item.lastMs + MsOf(rule));
                }
            }
            return;
        case RuleKind::kAbsent:
            FollowRegister(watch, nowMs, emit);
            for (auto& [tag, item] : watch.items) {
                adopt(tag, item);
            }
            return;
        case RuleKind::kUnregistered: {
            const std::string prefix = rule.name + '\x1f' + 't';
            std::vector<std::uint32_t> tags;
            for (const auto& [key, open] : restored_) {
                if (key.starts_with(prefix) && open.raised.tag &&
                    open.raised.ruleKind == rule.kind) {
                    tags.push_back(*open.raised.tag);
                }
            }
            for (const std::uint32_t tag : tags) {
                Item& item = watch.items[tag];
                item.lastMs = nowMs;
                item.firstMs = nowMs;
                item.zone = rule.zone;
                adopt(tag, item);
                watch.Schedule(tag, item, nowMs + goneAfterMs_);
            }
            return;
        }
        default:
            return;
    }
}

void RuleEngine::FollowRegister(Watch& watch, std::int64_t nowMs, const Emit& emit) {
    const site::Rule& rule = watch.rule;
    if (rule.kind == RuleKind::kUnregistered) {
        std::vector<std::uint32_t> named;
        for (const auto& [tag, item] : watch.items) {
            if (snapshot_->AssetOf(tag)) {
                named.push_back(tag);
            }
        }
        for (const std::uint32_t tag : named) {
            Clear(watch, tag, watch.items[tag], nowMs, emit);
            watch.items.erase(tag);
        }
        return;
    }
    if (rule.kind != RuleKind::kAbsent) {
        return;
    }
    const std::vector<std::uint32_t> tags =
        rule.tag ? std::vector<std::uint32_t>{*rule.tag} : snapshot_->TagsInGroup(rule.group);
    const std::unordered_set<std::uint32_t> wanted(tags.begin(), tags.end());
    std::vector<std::uint32_t> gone;
    for (const auto& [tag, item] : watch.items) {
        if (wanted.count(tag) == 0) {
            gone.push_back(tag);
        }
    }
    for (const std::uint32_t tag : gone) {
        Clear(watch, tag, watch.items[tag], nowMs, emit);
        watch.items.erase(tag);
    }
    for (const std::uint32_t tag : tags) {
        const auto [it, added] = watch.items.try_emplace(tag);
        if (added) {
            it->second.lastMs = nowMs;  // watched from now: not read since
            it->second.zone = rule.zone;
            watch.Schedule(tag, it->second, nowMs + MsOf(rule));
        }
    }
}

void RuleEngine::Index() {
    readWatches_.clear();
    zoneWatches_.clear();
    readerWatches_.clear();
    absentByTag_.clear();
    absentByGroup_.clear();
    unregistered_.clear();
    for (const auto& watch : watches_) {
        const site::Rule& rule = watch->rule;
        switch (rule.kind) {
            case RuleKind::kAbsent:
                readWatches_.push_back(watch.get());
                if (rule.tag) {
                    absentByTag_[*rule.tag].push_back(watch.get());
                } else {
                    absentByGroup_[rule.group].push_back(watch.get());
                }
                break;
            case RuleKind::kUnregistered:
                readWatches_.push_back(watch.get());
                unregistered_.push_back(watch.get());
                break;
            case RuleKind::kDwell:
            case RuleKind::kForbidden:
                zoneWatches_.push_back(watch.get());
                break;
            case RuleKind::kReaderOffline:
            case RuleKind::kReaderSilent:
                readerWatches_.push_back(watch.get());
                if (rule.reader != "*") {
                    readers_[Reader(rule.reader)].expected = true;
                }
                break;
            case RuleKind::kTooManyAlerts:
                break;
        }
    }
}

void RuleEngine::SetRules(std::vector<site::Rule> rules,
                          std::shared_ptr<const site::Snapshot> snapshot,
                          const std::vector<InZone>& stays, std::int64_t nowMs, const Emit& emit) {
    if (startedMs_ == INT64_MIN) {
        startedMs_ = nowMs;
        for (ReaderState& reader : readers_) {
            reader.changedMs = std::min(reader.changedMs, nowMs);
        }
    }
    const bool registerChanged = snapshot->Version() != snapshot_->Version() || snapshot_->Empty();
    snapshot_ = std::move(snapshot);
    for (const site::Zone& zone : snapshot_->Zones()) {
        for (const std::string& reader : zone.readers) {
            Reader(reader);  // a zone's readers are expected to read
        }
    }
    for (ReaderState& reader : readers_) {
        const std::uint32_t zone = snapshot_->ZoneOfReader(reader.name);
        reader.zone = zone == site::Snapshot::kNoZone ? "" : snapshot_->Zones()[zone].name;
        reader.expected = reader.expected || !reader.zone.empty();
    }

    std::unordered_map<std::string, std::unique_ptr<Watch>> old;
    for (auto& watch : watches_) {
        std::string name = watch->rule.name;
        old.emplace(std::move(name), std::move(watch));
    }
    watches_.clear();
    std::vector<Watch*> started;
    for (site::Rule& rule : rules) {
        auto it = old.find(rule.name);
        if (it != old.end() && it->second->rule == rule) {
            watches_.push_back(std::move(it->second));
            old.erase(it);
            if (registerChanged) {
                FollowRegister(*watches_.back(), nowMs, emit);
            }
            continue;
        }
        auto watch = std::make_unique<Watch>();
        watch->rule = std::move(rule);
        started.push_back(watch.get());
        watches_.push_back(std::move(watch));
    }
    // Replaced and removed rules: their conditions end here.
    for (auto& [name, watch] : old) {
        for (auto& [key, item] : watch->items) {
            Clear(*watch, key, item, nowMs, emit);
        }
    }
    Index();
    for (Watch* watch : started) {
        StartWatch(*watch, stays, nowMs, emit);
    }
    EvaluateReaders(nowMs, emit);
    // What an earlier run left open and no rule holds now.
    if (!restored_.empty()) {
        std::vector<std::string> keys;
        for (auto& [key, open] : restored_) {
            openBySeq_[open.raised.seq] = key;
            keys.push_back(key);
        }
        for (auto& [key, open] : restored_) {
            open_.emplace(key, std::move(open));
        }
        restored_.clear();
        std::sort(keys.begin(), keys.end(), [&](const std::string& a, const std::string& b) {
            return open_[a].raised.seq < open_[b].raised.seq;
        });
        for (const std::string& key : keys) {
            ClearOpen(key, nowMs, emit);
        }
    }
    CheckBound(nowMs, emit);
}

void RuleEngine::OnReader(ReaderId reader, bool reading, std::int64_t timeMs, const Emit&) {
    ReaderState& state = readers_[reader];
    if (state.reading != reading) {
        state.reading = reading;
        state.changedMs = timeMs;
    }
    state.expected = state.expected || reading;
}

void RuleEngine::OnRead(std::uint32_t tag, ReaderId reader, std::int64_t timeMs, const Emit& emit) {
    ReaderState& state = readers_[reader];
    state.lastReadMs = std::max(state.lastReadMs, timeMs);
    if (readWatches_.empty()) {
        return;
    }
    const std::optional<site::Label> label = snapshot_->AssetOf(tag);
    const auto seen = [&](Watch& watch) {
        if (!watch.rule.zone.empty() && watch.rule.zone != state.zone) {
            return;
        }
        const auto it = watch.items.find(tag);
        if (it == watch.items.end()) {
            return;
        }
        Item& item = it->second;
        item.lastMs = std::max(item.lastMs, timeMs);
        item.reader = state.name;
        if (item.raised || item.suppressed) {
            Clear(watch, tag, item, timeMs, emit);
            watch.Schedule(tag, item, item.lastMs + MsOf(watch.rule));
        }
    };
    if (!absentByTag_.empty()) {
        if (auto it = absentByTag_.find(tag); it != absentByTag_.end()) {
            for (Watch* watch : it->second) {
                seen(*watch);
            }
        }
    }
    if (label && !absentByGroup_.empty()) {
        if (auto it = absentByGroup_.find(std::string(label->group)); it != absentByGroup_.end()) {
            for (Watch* watch : it->second) {
                seen(*watch);
            }
        }
    }
    if (label) {
        return;
    }
    for (Watch* watch : unregistered_) {
        if (!watch->rule.zone.empty() && watch->rule.zone != state.zone) {
            continue;
        }
        const auto [it, added] = watch->items.try_emplace(tag);
        Item& item = it->second;
        item.lastMs = std::max(item.lastMs, timeMs);
        item.reader = state.name;
        if (added) {
            // A flood of unknown tags: beyond twice the bound, each read is counted and nothing
            // is kept.
            if (watch->items.size() > 2 * maxOpen_) {
                watch->items.erase(it);
                ++suppressed_;
                TooMany(timeMs, emit);
                continue;
            }
            item.zone = watch->rule.zone;
            item.firstMs = timeMs;
            Raise(*watch, tag, item, timeMs, emit);
            watch->Schedule(tag, item, item.raised ? timeMs + goneAfterMs_ : timeMs + kRetryMs);
        }
    }
}

void RuleEngine::OnZone(const events::ZoneChange& change, const Emit& emit) {
    for (Watch* watch : zoneWatches_) {
        const site::Rule& rule = watch->rule;
        if (rule.zone != change.zone) {
            continue;
        }
        if (change.kind == events::ZoneEventKind::kExit) {
            if (auto it = watch->items.find(change.tag); it != watch->items.end()) {
                Clear(*watch, change.tag, it->second, change.timeMs, emit);
                watch->items.erase(it);
            }
            continue;
        }
        if (!Covers(rule, change.tag)) {
            continue;
        }
        Item& item = watch->items[change.tag];
        item.lastMs = change.timeMs;
        item.zone = std::string(change.zone);
        item.reader = std::string(change.reader);
        if (rule.kind == RuleKind::kForbidden) {
            Fire(*watch, change.tag, item, change.timeMs, emit);
        } else {
            watch->Schedule(change.tag, item, change.timeMs + MsOf(rule));
        }
    }
}

void RuleEngine::EvaluateReaders(std::int64_t nowMs, const Emit& emit) {
    for (Watch* watch : readerWatches_) {
        const site::Rule& rule = watch->rule;
        const auto evaluate = [&](ReaderId id) {
            const ReaderState& reader = readers_[id];
            std::int64_t since = reader.changedMs;
            bool holds = false;
            if (rule.kind == RuleKind::kReaderOffline) {
                holds = !reader.reading && nowMs - since >= MsOf(rule);
            } else {
                since = std::max(since, reader.lastReadMs);
                holds = reader.reading && nowMs - since >= MsOf(rule);
            }
            const auto it = watch->items.find(id);
            if (holds) {
                Item& item = it != watch->items.end() ? it->second : watch->items[id];
                if (!item.raised) {
                    item.lastMs = since;
                    Raise(*watch, id, item, nowMs, emit);
                }
            } else if (it != watch->items.end()) {
                Clear(*watch, id, it->second, nowMs, emit);
            }
        };
        if (rule.reader == "*") {
            for (ReaderId id = 0; id < readers_.size(); ++id) {
                if (readers_[id].expected) {
                    evaluate(id);
                }
            }
        } else if (auto it = readerIds_.find(rule.reader); it != readerIds_.end()) {
            evaluate(it->second);
        }
    }
}

void RuleEngine::Expire(std::int64_t nowMs, const Emit& emit) {
    for (const auto& watch : watches_) {
        watch->lastExpireMs = nowMs;
        auto& dues = watch->dues;
        while (!dues.empty() && dues.top().atMs <= nowMs) {
            const Due due = dues.top();
            dues.pop();
            const auto it = watch->items.find(due.key);
            if (it != watch->items.end() && it->second.generation == due.generation) {
                Fire(*watch, due.key, it->second, nowMs, emit);
            }
        }
    }
    EvaluateReaders(nowMs, emit);
    CheckBound(nowMs, emit);
}

RuleEngine::AckOutcome RuleEngine::Acknowledge(Sequence raised, std::string_view by,
                                               std::string_view note, std::int64_t nowMs,
                                               const Emit& emit) {
    const auto key = openBySeq_.find(raised);
    if (key == openBySeq_.end()) {
        return AckOutcome::kNotOpen;
    }
    Open& open = open_.at(key->second);
    const events::AlertRow& r = open.raised;
    const events::Alert alert{0,         nowMs,  events::AlertEventKind::kAcknowledged,
                              r.seq,     r.rule, r.ruleKind,
                              r.tag,     r.zone, r.reader,
                              r.sinceMs, note,   by};
    const Sequence seq = emit(alert);
    open.acknowledged = RowOfSeq(alert, seq);
    return AckOutcome::kDone;
}

std::vector<RuleEngine::Open> RuleEngine::OpenAlerts() const {
    std::vector<Open> out;
    out.reserve(open_.size());
    for (const auto& [key, open] : open_) {
        out.push_back(open);
    }
    std::sort(out.begin(), out.end(),
              [](const Open& a, const Open& b) { return a.raised.seq < b.raised.seq; });
    return out;
}

std::vector<std::pair<std::string, std::size_t>> RuleEngine::OpenByRule() const {
    std::unordered_map<std::string, std::size_t> counts;
    for (const auto& [key, open] : open_) {
        ++counts[open.raised.rule];
    }
    std::vector<std::pair<std::string, std::size_t>> out(counts.begin(), counts.end());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace trelvane
