// Device events by filter, and the plain scan of an event table in number order that answers
// them (and presence events without a tag, or before version 4, and zone events).

#include "history/ReaderImpl.h"

namespace trelvane::history {
namespace {

// The WHERE clause of an event query; parameters ?1 after, ?2 since, ?3 until, ?4 tag,
// ?5 reader, ?6 limit, ?7 through, ?8 zone (unused numbers stay unbound).
std::string EventQuery(const char* columns, const char* table, const Filter& f) {
    std::string text = std::string("SELECT ") + columns + " FROM " + table + " WHERE seq > ?1";
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
        text += " AND reader IN (SELECT id FROM readers WHERE name = ?5 OR device = ?5)";
    }
    if (f.zone) {
        text += " AND zone IN (SELECT id FROM zone_names WHERE name = ?8)";
    }
    text += " ORDER BY seq LIMIT ?6";
    return text;
}

void BindEventQuery(sql::Stmt& q, const Filter& f) {
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
}

}  // namespace

Status Reader::Impl::Events(const char* columns, const char* table, const Filter& f,
                            const char* what,
                            const std::function<void(const sql::Stmt&, const ReaderNames&)>& row) {
    sql::Stmt q;
    if (Status st = Prepare(q, EventQuery(columns, table, f)); !st) {
        return st;
    }
    BindEventQuery(q, f);
    int rc = 0;
    while ((rc = q.Step()) == SQLITE_ROW) {
        Result<const ReaderNames*> n = Names(q.Int(3));
        if (!n) {
            return n.error();
        }
        row(q, *n.value());
    }
    return rc == SQLITE_DONE ? Status() : Status(Fail(rc, what));
}

Status Reader::Impl::Devices(const Filter& f, std::vector<DeviceRow>& out) {
    if (f.tag || f.zone || f.rule) {
        return {};
    }
    return Events(
        "seq, time, kind, reader", "device_events", f, "cannot read the device events",
        [&](const sql::Stmt& q, const ReaderNames& n) {
            out.push_back(DeviceRow{static_cast<std::uint64_t>(q.Int(0)), q.Int(1),
                                    static_cast<DeviceEventKind>(q.Int(2)), n.first, n.second});
        });
}

}  // namespace trelvane::history
