// A batch's alert events: their rows, and the open alerts in alert_open, changed in number
// order whatever the batch's order: a raised event adds its alert, an acknowledgement is kept
// with the alert it names (the latest one counts), a cleared event removes the alert. An
// acknowledgement or a clearing of an alert that is not open changes nothing there.

#include <algorithm>
#include <climits>
#include <optional>

#include "history/WriterImpl.h"

namespace trelvane::history {
namespace {

void BindTag(sql::Stmt& s, int index, const std::optional<std::uint32_t>& tag) {
    if (tag) {
        s.Bind(index, std::int64_t{*tag});
    } else {
        s.BindNull(index);
    }
}

}  // namespace

Status Writer::Impl::WriteAlerts(const Batch& batch, std::uint64_t before, std::uint64_t& maxSeq,
                                 Taken& taken) {
    alertChanges.clear();
    for (const AlertEvent& a : batch.alerts) {
        if (a.seq <= before) {
            ++taken.duplicates;
            continue;
        }
        if (a.seq > static_cast<std::uint64_t>(INT64_MAX)) {
            return Error{ErrorCode::kBadInput,
                         path + ": sequence number " + std::to_string(a.seq) + " is too large"};
        }
        if (Status st = InsertAlert(a); !st) {
            return st;
        }
        alertChanges.push_back(&a);
        maxSeq = std::max(maxSeq, a.seq);
        ++taken.alerts;
    }
    if (alertChanges.empty()) {
        return {};
    }
    std::sort(alertChanges.begin(), alertChanges.end(),
              [](const AlertEvent* a, const AlertEvent* b) { return a->seq < b->seq; });
    if (Status st = CheckAlertNumbers(batch, before); !st) {
        return st;
    }
    return ApplyAlertChanges();
}

Status Writer::Impl::InsertAlert(const AlertEvent& a) {
    sql::Stmt& s = insertAlert;
    s.Bind(1, static_cast<std::int64_t>(a.seq));
    s.Bind(2, a.timeMs);
    s.Bind(3, static_cast<std::int64_t>(a.kind));
    s.Bind(4, static_cast<std::int64_t>(std::min<std::uint64_t>(a.raised, INT64_MAX)));
    s.Bind(5, a.rule);
    s.Bind(6, static_cast<std::int64_t>(a.ruleKind));
    BindTag(s, 7, a.tag);
    s.Bind(8, a.zone);
    s.Bind(9, a.reader);
    s.Bind(10, a.sinceMs);
    s.Bind(11, a.text);
    s.Bind(12, a.by);
    const int rc = s.Step();
    s.Reset();
    return rc == SQLITE_DONE ? Status() : Status(StoreFailure(rc, a.seq));
}

// An alert's number taken by an event of another kind too, which no table's key sees. Alerts
// are few: each other event is looked up among theirs.
Status Writer::Impl::CheckAlertNumbers(const Batch& batch, std::uint64_t before) const {
    const auto clash = [&](const auto& events) -> std::optional<std::uint64_t> {
        for (const auto& e : events) {
            const auto at = std::lower_bound(
                alertChanges.begin(), alertChanges.end(), e.seq,
                [](const AlertEvent* a, std::uint64_t seq) { return a->seq < seq; });
            if (e.seq > before && at != alertChanges.end() && (*at)->seq == e.seq) {
                return e.seq;
            }
        }
        return std::nullopt;
    };
    std::optional<std::uint64_t> seq = clash(batch.reads);
    seq = seq ? seq : clash(batch.presence);
    seq = seq ? seq : clash(batch.devices);
    seq = seq ? seq : clash(batch.zones);
    return seq ? Status(StoreFailure(SQLITE_CONSTRAINT, *seq)) : Status();
}

Status Writer::Impl::ApplyAlertChanges() {
    for (const AlertEvent* a : alertChanges) {
        sql::Stmt* s = nullptr;
        switch (a->kind) {
            case events::AlertEventKind::kRaised:
                s = &openAlert;
                s->Bind(1, static_cast<std::int64_t>(a->seq));
                s->Bind(2, a->timeMs);
                s->Bind(3, a->rule);
                s->Bind(4, static_cast<std::int64_t>(a->ruleKind));
                BindTag(*s, 5, a->tag);
                s->Bind(6, a->zone);
                s->Bind(7, a->reader);
                s->Bind(8, a->sinceMs);
                s->Bind(9, a->text);
                break;
            case events::AlertEventKind::kAcknowledged:
                s = &ackAlert;
                s->Bind(1,
                        static_cast<std::int64_t>(std::min<std::uint64_t>(a->raised, INT64_MAX)));
                s->Bind(2, static_cast<std::int64_t>(a->seq));
                s->Bind(3, a->timeMs);
                s->Bind(4, a->text);
                s->Bind(5, a->by);
                break;
            case events::AlertEventKind::kCleared:
                s = &clearAlert;
                s->Bind(1,
                        static_cast<std::int64_t>(std::min<std::uint64_t>(a->raised, INT64_MAX)));
                break;
        }
        if (s == nullptr) {
            continue;  // a kind this build does not know: kept as an event only
        }
        const int rc = s->Step();
        s->Reset();
        if (rc != SQLITE_DONE) {
            return Fail(rc, "cannot store an open alert");
        }
    }
    return {};
}

}  // namespace trelvane::history
