#include "webhooks/BatchReader.h"

#include <algorithm>
#include <utility>

#include "base/JsonText.h"
#include "webhooks/Webhook.h"

namespace trelvane::webhooks {
namespace {

using events::Kind;

// What goes before each kind's event object in the list.
void AppendItemHead(std::string& out, Kind kind) {
    out += R"({"type":")";
    out += events::Name(kind);  // our own names: nothing to escape
    out += R"(","event":)";
}

constexpr std::string_view kClosing = "]}";

}  // namespace

BatchReader::BatchReader(std::filesystem::path historyPath, events::LabelSource labels,
                         std::size_t maxEvents, std::size_t maxBytes)
    : historyPath_(std::move(historyPath)),
      labels_(std::move(labels)),
      maxEvents_(std::max<std::size_t>(maxEvents, 1)),
      maxBytes_(maxBytes) {}

history::Status BatchReader::Open() {
    auto opened = history::Reader::Open(historyPath_);
    if (!opened) {
        return opened.error();
    }
    reader_.emplace(std::move(opened).value());
    return {};
}

history::Result<Sequence> BatchReader::Committed() {
    if (!reader_) {
        if (history::Status st = Open(); !st) {
            return st.error();
        }
    }
    auto last = reader_->LastSequence();
    if (!last) {
        reader_.reset();
    }
    return last;
}

template <class Row>
history::Status BatchReader::Query(std::vector<Row>& rows, const history::Filter& filter) {
    history::Result<std::vector<Row>> result = [&] {
        if constexpr (std::is_same_v<Row, history::ReadRow>) {
            return reader_->Reads(filter);
        } else if constexpr (std::is_same_v<Row, history::PresenceRow>) {
            return reader_->Presence(filter);
        } else if constexpr (std::is_same_v<Row, history::DeviceRow>) {
            return reader_->Devices(filter);
        } else if constexpr (std::is_same_v<Row, history::ZoneRow>) {
            return reader_->Zones(filter);
        } else {
            return reader_->Alerts(filter);
        }
    }();
    if (!result) {
        reader_.reset();
        return result.error();
    }
    rows = std::move(result).value();
    return {};
}

history::Status BatchReader::Next(Sequence cursor, Sequence committed, std::uint32_t kinds,
                                  Batch& out) {
    out.body.clear();
    out.events = 0;
    out.first = out.last = 0;
    out.kinds = kinds;
    out.through = committed;
    if (!reader_) {
        if (history::Status st = Open(); !st) {
            return st;
        }
    }
    history::Filter filter;
    filter.afterSeq = cursor;
    filter.throughSeq = committed;
    filter.limit = maxEvents_;
    // A full list may stop short of `committed`: the range ends where the shortest one does,
    // so that no event of another kind is taken past an event not read yet.
    Sequence through = committed;
    const auto take = [&](Kind kind, auto& rows) -> history::Status {
        rows.clear();
        if ((kinds & KindBit(kind)) == 0) {
            return {};
        }
        if (history::Status st = Query(rows, filter); !st) {
            return st;
        }
        if (rows.size() >= maxEvents_) {
            through = std::min(through, rows.back().seq);
        }
        return {};
    };
    if (history::Status st = take(Kind::kReads, reads_); !st) {
        return st;
    }
    if (history::Status st = take(Kind::kPresence, presence_); !st) {
        return st;
    }
    if (history::Status st = take(Kind::kDevices, devices_); !st) {
        return st;
    }
    if (history::Status st = take(Kind::kZones, zones_); !st) {
        return st;
    }
    if (history::Status st = take(Kind::kAlerts, alerts_); !st) {
        return st;
    }

    const std::shared_ptr<const events::Labels> labels = labels_ ? labels_() : nullptr;
    json_.SetLabels(labels.get());
    std::string& body = out.body;
    body += "{\"history_id\":";
    AppendJsonString(body, reader_->HistoryId());
    body += ",\"events\":[";
    std::size_t r = 0, p = 0, d = 0, z = 0, a = 0;
    constexpr Sequence kNone = UINT64_MAX;
    const auto seqAt = [](const auto& rows, std::size_t i) {
        return i < rows.size() ? rows[i].seq : kNone;
    };
    while (out.events < maxEvents_) {
        const Sequence sr = seqAt(reads_, r), sp = seqAt(presence_, p);
        const Sequence sd = seqAt(devices_, d), sz = seqAt(zones_, z);
        const Sequence sa = seqAt(alerts_, a);
        const Sequence seq = std::min({sr, sp, sd, sz, sa});
        if (seq == kNone || seq > through) {
            break;
        }
        const std::size_t mark = body.size();
        if (out.events != 0) {
            body.push_back(',');
        }
        std::size_t* taken = &r;  // the list the event comes from
        if (seq == sr) {
            AppendItemHead(body, Kind::kReads);
            json_.Append(body, events::View(reads_[r]));
        } else if (seq == sp) {
            taken = &p;
            AppendItemHead(body, Kind::kPresence);
            json_.Append(body, events::View(presence_[p]));
        } else if (seq == sd) {
            taken = &d;
            AppendItemHead(body, Kind::kDevices);
            json_.Append(body, events::View(devices_[d]));
        } else if (seq == sz) {
            taken = &z;
            AppendItemHead(body, Kind::kZones);
            json_.Append(body, events::View(zones_[z]));
        } else {
            taken = &a;
            AppendItemHead(body, Kind::kAlerts);
            json_.Append(body, events::View(alerts_[a]));
        }
        body.push_back('}');
        if (out.events != 0 && body.size() + kClosing.size() > maxBytes_) {
            body.resize(mark);
            break;
        }
        ++*taken;
        if (out.events++ == 0) {
            out.first = seq;
        }
        out.last = seq;
    }
    json_.SetLabels(nullptr);
    body += kClosing;
    // Cut by a bound: what follows the last event taken goes in the next body.
    const Sequence next = std::min({seqAt(reads_, r), seqAt(presence_, p), seqAt(devices_, d),
                                    seqAt(zones_, z), seqAt(alerts_, a)});
    const bool cut = next <= through;
    out.through = cut ? out.last : through;
    return {};
}

}  // namespace trelvane::webhooks
