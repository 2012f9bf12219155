// Alert events by filter (one scan in number order; the time, tag and rule indexes serve those
// filters), and the open alerts with their acknowledgements.

#include "history/ReaderImpl.h"

namespace trelvane::history {
namespace {

using events::AlertEventKind;
using events::RuleKind;
using sql::Stmt;

// Parameters ?1 after, ?2 since, ?3 until, ?4 tag, ?5 reader, ?6 limit, ?7 through, ?8 zone,
// ?9 rule (unused numbers stay unbound). A NULL tag never equals one.
std::string AlertQuery(const Filter& f) {
    std::string text =
        "SELECT seq, time, kind, raised, rule, rule_kind, tag, zone, reader, since, text, who "
        "FROM alert_events WHERE seq > ?1";
    if (f.throughSeq) {
        text += " AND seq <= ?7";
    }
    if (f.sinceMs) {
        text += " AND time >= ?2";
    }
    if (f.untilMs) {
        text += " AND time < ?3";
    }
    if (f.tag) {
        text += " AND tag = ?4";
    }
    if (f.reader) {
        text += " AND reader = ?5";
    }
    if (f.zone) {
        text += " AND zone = ?8";
    }
    if (f.rule) {
        text += " AND rule = ?9";
    }
    return text + " ORDER BY seq LIMIT ?6";
}

void BindAlertQuery(Stmt& q, const Filter& f) {
    q.Bind(1, static_cast<std::int64_t>(
                  std::min<std::uint64_t>(f.afterSeq, static_cast<std::uint64_t>(INT64_MAX))));
    if (f.sinceMs) {
        q.Bind(2, *f.sinceMs);
    }
    if (f.untilMs) {
        q.Bind(3, *f.untilMs);
    }
    if (f.tag) {
        q.Bind(4, std::int64_t{*f.tag});
    }
    if (f.reader) {
        q.Bind(5, std::string_view(*f.reader));
    }
    q.Bind(6, static_cast<std::int64_t>(std::min(f.limit, kMaxLimit)));
    if (f.throughSeq) {
        q.Bind(7, LastSeqOf(f));
    }
    if (f.zone) {
        q.Bind(8, std::string_view(*f.zone));
    }
    if (f.rule) {
        q.Bind(9, std::string_view(*f.rule));
    }
}

std::optional<std::uint32_t> TagAt(const Stmt& q, int column) {
    if (q.IsNull(column)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(q.Int(column));
}

}  // namespace

Result<bool> Reader::Impl::HasAlerts() {
    const Result<std::int64_t> version = Version();
    if (!version) {
        return version.error();
    }
    return version.value() >= 6;
}

Status Reader::Impl::Alerts(const Filter& f, std::vector<AlertRow>& out) {
    const Result<bool> has = HasAlerts();
    if (!has || !has.value()) {
        return has ? Status() : Status(has.error());
    }
    Stmt q;
    if (Status st = Prepare(q, AlertQuery(f)); !st) {
        return st;
    }
    BindAlertQuery(q, f);
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        out.push_back(AlertRow{
            static_cast<std::uint64_t>(q.Int(0)), q.Int(1), static_cast<AlertEventKind>(q.Int(2)),
            static_cast<std::uint64_t>(q.Int(3)), std::string(q.Text(4)),
            static_cast<RuleKind>(q.Int(5)), TagAt(q, 6), std::string(q.Text(7)),
            std::string(q.Text(8)), q.Int(9), std::string(q.Text(10)), std::string(q.Text(11))});
    }
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, "cannot read the alerts"));
}

Status Reader::Impl::OpenAlerts(std::vector<OpenAlert>& out) {
    const Result<bool> has = HasAlerts();
    if (!has || !has.value()) {
        return has ? Status() : Status(has.error());
    }
    Stmt q;
    if (Status st = Prepare(q,
                            "SELECT seq, time, rule, rule_kind, tag, zone, reader, since, text, "
                            "ack_seq, ack_time, ack_note, ack_who FROM alert_open ORDER BY seq");
        !st) {
        return st;
    }
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        OpenAlert& open = out.emplace_back();
        open.raised = AlertRow{static_cast<std::uint64_t>(q.Int(0)),
                               q.Int(1),
                               AlertEventKind::kRaised,
                               0,
                               std::string(q.Text(2)),
                               static_cast<RuleKind>(q.Int(3)),
                               TagAt(q, 4),
                               std::string(q.Text(5)),
                               std::string(q.Text(6)),
                               q.Int(7),
                               std::string(q.Text(8)),
                               {}};
        if (!q.IsNull(9)) {
            AlertRow ack = open.raised;
            ack.seq = static_cast<std::uint64_t>(q.Int(9));
            ack.timeMs = q.Int(10);
            ack.kind = AlertEventKind::kAcknowledged;
            ack.raised = open.raised.seq;
            ack.text = q.Text(11);
            ack.by = q.Text(12);
            open.acknowledged = std::move(ack);
        }
    }
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, "cannot read the open alerts"));
}

}  // namespace trelvane::history
