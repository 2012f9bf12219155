// The site register's endpoints: the zones and the tags in them, the assets and their CSV
// import, and where a tag is. Reads of the register come from its snapshot (on the server's
// thread, a short lock); everything that touches its file runs as `later` work on the
// server's worker, so an import of a million lines holds no other connection.
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "api/ApiRouter.h"
#include "api/Json.h"
#include "api/SiteReplies.h"
#include "base/IsoTime.h"
#include "records/TagId.h"
#include "records/TextCodec.h"
#include "service/ServiceEngine.h"

namespace trelvane::api {
namespace {

using nlohmann::json;

// A label's tags listed in its 409, at most.
constexpr std::size_t kMaxListedTags = 100;
// Zones in GET /api/v1/zones, at most (a zone holds at least one reader).
constexpr std::size_t kMaxListedZones = 10000;

// A tag as a path names it: a decimal number of 32 bits.
std::optional<std::uint32_t> TagNumber(std::string_view text) {
    const auto value = ParseUnsigned(text);
    if (!value || *value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// offset= and limit= of a page: the name of a bad one in `bad`.
struct Paging {
    std::uint64_t offset = 0;
    std::size_t limit = kDefaultPageLimit;
};
std::optional<Paging> PagingOf(const Target& t, std::string& bad) {
    Paging p;
    if (const auto text = t.Value("offset")) {
        const auto value = ParseUnsigned(*text);
        if (!value) {
            bad = "offset";
            return std::nullopt;
        }
        p.offset = *value;
    }
    if (const auto text = t.Value("limit")) {
        const auto value = ParseUnsigned(*text);
        if (!value || *value == 0) {
            bad = "limit";
            return std::nullopt;
        }
        p.limit = static_cast<std::size_t>(std::min<std::uint64_t>(*value, kMaxPageLimit));
    }
    return p;
}

// at= as the history pages take since= and until=: Unix milliseconds.
std::optional<std::optional<std::int64_t>> AtOf(const Target& t) {
    const auto text = t.Value("at");
    if (!text) {
        return std::optional<std::int64_t>();
    }
    const auto value = ParseSigned(*text);
    if (!value) {
        return std::nullopt;
    }
    return value;
}

// "time" and "time_ms" keys of a moment, or both null.
void WriteTime(JsonWriter& w, std::string_view key, std::optional<std::int64_t> ms) {
    w.Key(key);
    if (ms) {
        w.String(FormatIsoTime(*ms));
    } else {
        w.Null();
    }
    w.Key(std::string(key) + "_ms");
    if (ms) {
        w.Int(*ms);
    } else {
        w.Null();
    }
}

void WriteOptional(JsonWriter& w, std::string_view key, const std::optional<std::string>& text) {
    w.Key(key);
    if (text) {
        w.String(*text);
    } else {
        w.Null();
    }
}

// The label and group of a registered tag; nothing for another (absent keys, as in events).
void WriteLabel(JsonWriter& w, const site::Snapshot* snapshot, std::uint32_t tag) {
    if (snapshot == nullptr) {
        return;
    }
    if (const auto label = snapshot->AssetOf(tag)) {
        w.Field("label", label->label).Field("group", label->group);
    }
}

// {"readers":["R01",…]}: the names, or a 400 naming the field at fault.
std::optional<std::vector<std::string>> ReadersOf(const std::string& body,
                                                  std::optional<HttpResponse>& error) {
    const json doc = json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = FieldError(400, "the body must be a JSON object {\"readers\":[names]}", "readers");
        return std::nullopt;
    }
    for (const auto& [key, value] : doc.items()) {
        if (key != "readers") {
            error = FieldError(400, "unknown field: a zone has only \"readers\"", key);
            return std::nullopt;
        }
    }
    const auto readers = doc.find("readers");
    if (readers == doc.end() || !readers->is_array()) {
        error = FieldError(400, "\"readers\" must be a list of reader names", "readers");
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const json& name : *readers) {
        if (!name.is_string()) {
            error = FieldError(400, "\"readers\" must hold names (strings) only", "readers");
            return std::nullopt;
        }
        names.push_back(name.get<std::string>());
    }
    return names;
}

// {"label":…,"group":…,"note":…}: the asset of `tag`, or a 400 naming the field at fault.
std::optional<site::Asset> AssetOfBody(std::uint32_t tag, const std::string& body,
                                       std::optional<HttpResponse>& error) {
    const json doc = json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = FieldError(
            400, "the body must be a JSON object {\"label\":…,\"group\":…,\"note\":…}", "label");
        return std::nullopt;
    }
    site::Asset asset;
    asset.tag = tag;
    bool labelled = false;
    for (const auto& [key, value] : doc.items()) {
        std::string* text = key == "label"   ? &asset.label
                            : key == "group" ? &asset.group
                            : key == "note"  ? &asset.note
                                             : nullptr;
        if (text == nullptr) {
            error = FieldError(400, "unknown field: an asset has \"label\", \"group\" and \"note\"",
                               key);
            return std::nullopt;
        }
        if (!value.is_string()) {
            error = FieldError(400, "\"" + key + "\" must be a string", key);
            return std::nullopt;
        }
        *text = value.get<std::string>();
        labelled = labelled || key == "label";
    }
    if (!labelled) {
        error = FieldError(400, "an asset needs a \"label\"", "label");
        return std::nullopt;
    }
    if (site::Outcome fault = site::CheckAsset(asset)) {
        error = FaultResponse(*fault);
        return std::nullopt;
    }
    return asset;
}

}  // namespace

HttpResponse Later(std::function<HttpResponse(const std::atomic<bool>&)> work) {
    HttpResponse response;
    response.later = std::move(work);
    return response;
}

// {"error":…[,"field":…][,"line":N]}
HttpResponse FieldError(int status, std::string_view message, std::string_view field,
                        std::uint64_t line) {
    JsonWriter w;
    w.BeginObject().Field("error", message);
    if (!field.empty()) {
        w.Field("field", field);
    }
    if (line != 0) {
        w.Field("line", line);
    }
    w.EndObject();
    return JsonResponse(status, w.Take());
}

HttpResponse FaultResponse(const site::Fault& fault) {
    int status = 500;
    switch (fault.code) {
        case site::FaultCode::kBadInput:
            status = 400;
            break;
        case site::FaultCode::kConflict:
            status = 409;
            break;
        case site::FaultCode::kNotFound:
            status = 404;
            break;
        case site::FaultCode::kUnwritable:
        case site::FaultCode::kCorrupt:
        case site::FaultCode::kIo:
            break;
    }
    return FieldError(status, fault.text, fault.field, fault.line);
}

std::shared_ptr<const events::Labels> ApiRouter::CurrentLabels() const {
    const events::LabelSource source = engine_.Labels();
    return source ? source() : nullptr;
}

HttpResponse ApiRouter::Zones() {
    const std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    const std::shared_ptr<const site::Snapshot> snapshot = site->Current();
    // The counts with the last event they include: the status page applies the live feed's
    // zone events after that one, so a count is never off by an event that raced the request.
    ZoneStage::Counted counted = engine_.Zones().CountsThrough();
    std::map<std::string, std::size_t, std::less<>> now;
    for (auto& [zone, count] : counted.zones) {
        now[std::move(zone)] = count;
    }
    JsonWriter w;
    w.BeginObject().Key("zones").BeginArray();
    std::size_t listed = 0;
    for (const site::Zone& zone : snapshot->Zones()) {
        if (listed++ == kMaxListedZones) {
            break;
        }
        const auto count = now.find(zone.name);
        w.BeginObject().Field("name", zone.name).Key("readers").BeginArray();
        for (const std::string& reader : zone.readers) {
            w.String(reader);
        }
        w.EndArray().Field("tags_now", count == now.end() ? std::size_t{0} : count->second);
        w.EndObject();
    }
    w.EndArray()
        .Field("total", snapshot->Zones().size())
        .Field("through_seq", counted.through)
        .EndObject();
    return JsonResponse(200, w.Take());
}

HttpResponse ApiRouter::ZoneTags(const std::string& zone, const Target& target) {
    std::string bad;
    const auto paging = PagingOf(target, bad);
    if (!paging) {
        return FieldError(400, "bad number: " + bad, bad);
    }
    const auto at = AtOf(target);
    if (!at) {
        return FieldError(400, "bad time: at is Unix milliseconds", "at");
    }
    const std::shared_ptr<site::Register> site = engine_.Site();
    const std::shared_ptr<const site::Snapshot> snapshot = site ? site->Current() : nullptr;
    const bool known = snapshot && snapshot->ZoneNamed(zone).has_value();
    if (!*at && !site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }

    // One row per tag, in tag order: from the history at a time, or the stays now.
    struct Row {
        std::uint32_t tag = 0;
        std::int64_t sinceMs = 0;
        std::optional<std::int64_t> lastSeenMs;
        std::string reader;
    };
    std::vector<Row> rows;
    if (*at) {
        HistoryAccess access = OpenHistory();
        if (access.reader == nullptr) {
            return ErrorResponse(404, access.problem);
        }
        auto then = access.reader->TagsInZoneAt(zone, **at);
        if (!then) {
            return ErrorResponse(500, then.error().text);
        }
        // A zone removed since may still be asked about a time when it held tags.
        if (!known && then->empty()) {
            return FieldError(404, "no zone is named \"" + zone + "\"", "name");
        }
        rows.reserve(then->size());
        for (const history::TagInZone& t : *then) {
            rows.push_back(Row{t.tag, t.sinceMs, std::nullopt, {}});
        }
    } else {
        if (!known) {
            return FieldError(404, "no zone is named \"" + zone + "\"", "name");
        }
        for (ZoneTracker::Stay& stay : engine_.Zones().Stays(zone)) {
            rows.push_back(Row{stay.tag, stay.sinceMs, stay.lastSeenMs, std::move(stay.reader)});
        }
        std::sort(rows.begin(), rows.end(),
                  [](const Row& a, const Row& b) { return a.tag < b.tag; });
    }

    JsonWriter w;
    w.BeginObject().Field("zone", zone);
    if (*at) {
        w.Field("at", FormatIsoTime(**at)).Field("at_ms", **at);
    }
    w.Field("total", rows.size()).Field("offset", paging->offset).Key("tags").BeginArray();
    for (std::uint64_t i = paging->offset; i < rows.size() && i < paging->offset + paging->limit;
         ++i) {
        const Row& row = rows[i];
        w.BeginObject().Field("tag", TagIdText(row.tag));
        WriteLabel(w, snapshot.get(), row.tag);
        w.Field("since", FormatIsoTime(row.sinceMs)).Field("since_ms", row.sinceMs);
        if (row.lastSeenMs) {
            w.Field("last_seen", FormatIsoTime(*row.lastSeenMs))
                .Field("last_seen_ms", *row.lastSeenMs)
                .Field("reader", row.reader);
        }
        w.EndObject();
    }
    w.EndArray().EndObject();
    return JsonResponse(200, w.Take());
}

HttpResponse ApiRouter::SetZone(const std::string& zone, const std::string& body) {
    std::optional<HttpResponse> error;
    std::optional<std::vector<std::string>> readers = ReadersOf(body, error);
    if (!readers) {
        return std::move(*error);
    }
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    return Later(
        [site = std::move(site), zone, readers = std::move(*readers)](const std::atomic<bool>&) {
            if (site::Outcome fault = site->SetZone(zone, readers)) {
                return FaultResponse(*fault);
            }
            JsonWriter w;
            w.BeginObject().Field("name", zone).Key("readers").BeginArray();
            for (const std::string& reader : readers) {
                w.String(reader);
            }
            w.EndArray().EndObject();
            return JsonResponse(200, w.Take());
        });
}

HttpResponse ApiRouter::RemoveZone(const std::string& zone) {
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    return Later([site = std::move(site), zone](const std::atomic<bool>&) {
        if (site::Outcome fault = site->RemoveZone(zone)) {
            return FaultResponse(*fault);
        }
        JsonWriter w;
        w.BeginObject().Field("removed", zone).EndObject();
        return JsonResponse(200, w.Take());
    });
}

HttpResponse ApiRouter::Assets(const Target& target) {
    std::string bad;
    const auto paging = PagingOf(target, bad);
    if (!paging) {
        return FieldError(400, "bad number: " + bad, bad);
    }
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    // The notes live in the file only: read there, behind any change under way.
    return Later([site = std::move(site), group = std::string(target.Value("group").value_or("")),
                  paging = *paging](const std::atomic<bool>&) {
        const site::AssetPage page = site->Assets(group, paging.offset, paging.limit);
        JsonWriter w;
        w.BeginObject().Key("assets").BeginArray();
        for (const site::Asset& a : page.assets) {
            w.BeginObject()
                .Field("tag", TagIdText(a.tag))
                .Field("label", a.label)
                .Field("group", a.group)
                .Field("note", a.note)
                .EndObject();
        }
        w.EndArray().Field("total", page.total).Field("offset", paging.offset).EndObject();
        return JsonResponse(200, w.Take());
    });
}

HttpResponse ApiRouter::SetAsset(const std::string& tag, const std::string& body) {
    const auto number = TagNumber(tag);
    if (!number) {
        return FieldError(400, "the tag must be a decimal number of 0 to 4294967295", "tag");
    }
    std::optional<HttpResponse> error;
    std::optional<site::Asset> asset = AssetOfBody(*number, body, error);
    if (!asset) {
        return std::move(*error);
    }
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    return Later([site = std::move(site), asset = std::move(*asset)](const std::atomic<bool>&) {
        if (site::Outcome fault = site->SetAsset(asset)) {
            return FaultResponse(*fault);
        }
        JsonWriter w;
        w.BeginObject()
            .Field("tag", TagIdText(asset.tag))
            .Field("label", asset.label)
            .Field("group", asset.group)
            .Field("note", asset.note)
            .EndObject();
        return JsonResponse(200, w.Take());
    });
}

HttpResponse ApiRouter::RemoveAsset(const std::string& tag) {
    const auto number = TagNumber(tag);
    if (!number) {
        return FieldError(400, "the tag must be a decimal number of 0 to 4294967295", "tag");
    }
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    return Later([site = std::move(site), tag = *number](const std::atomic<bool>&) {
        if (site::Outcome fault = site->RemoveAsset(tag)) {
            return FaultResponse(*fault);
        }
        JsonWriter w;
        w.BeginObject().Field("removed", TagIdText(tag)).EndObject();
        return JsonResponse(200, w.Take());
    });
}

HttpResponse ApiRouter::ImportAssets(const Target& target, std::string body) {
    bool replace = false;
    if (const auto text = target.Value("replace")) {
        if (*text != "0" && *text != "1") {
            return FieldError(400, "replace is 0 or 1", "replace");
        }
        replace = *text == "1";
    }
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    return Later([site = std::move(site), replace,
                  body = std::move(body)](const std::atomic<bool>& stopping) mutable {
        std::istringstream in(std::move(body));
        site::Fault fault;
        // A stop cancels it: the register is left as it was.
        const auto summary = site->ImportCsv(
            in, replace, fault, [&stopping](std::uint64_t) { return !stopping.load(); });
        if (!summary) {
            if (stopping.load()) {
                return ErrorResponse(503, "the service is stopping: nothing was imported");
            }
            return fault.code == site::FaultCode::kBadInput
                       ? FieldError(400, fault.text, fault.field, fault.line)
                       : FaultResponse(fault);
        }
        JsonWriter w;
        w.BeginObject()
            .Field("added", summary->added)
            .Field("updated", summary->updated)
            .Field("removed", summary->removed)
            .EndObject();
        return JsonResponse(200, w.Take());
    });
}

HttpResponse ApiRouter::Where(const std::string& subject, const Target& target) {
    const auto at = AtOf(target);
    if (!at) {
        return FieldError(400, "bad time: at is Unix milliseconds", "at");
    }
    const std::shared_ptr<site::Register> site = engine_.Site();
    const std::shared_ptr<const site::Snapshot> snapshot = site ? site->Current() : nullptr;

    // Digits name a tag; anything else is a label, which must name one tag.
    std::uint32_t tag = 0;
    if (AllDigits(subject)) {
        const auto number = TagNumber(subject);
        if (!number) {
            return FieldError(400, "a tag is a decimal number of 0 to 4294967295", "tag");
        }
        tag = *number;
    } else {
        if (!snapshot) {
            return ErrorResponse(503, engine_.SiteProblem());  // no labels to look in
        }
        const std::vector<std::uint32_t> tags = snapshot->TagsLabelled(subject);
        if (tags.empty()) {
            return FieldError(404, "no asset is labelled \"" + subject + "\"", "label");
        }
        if (tags.size() > 1) {
            JsonWriter w;
            w.BeginObject()
                .Field("error", std::to_string(tags.size()) + " tags are labelled \"" + subject +
                                    "\": ask for one by its number")
                .Field("field", "label")
                .Field("total", tags.size())
                .Key("tags")
                .BeginArray();
            for (std::size_t i = 0; i < tags.size() && i < kMaxListedTags; ++i) {
                w.String(TagIdText(tags[i]));
            }
            w.EndArray().EndObject();
            return JsonResponse(409, w.Take());
        }
        tag = tags.front();
    }
    const std::optional<site::Label> label =
        snapshot ? snapshot->AssetOf(tag) : std::optional<site::Label>();

    HistoryAccess access = OpenHistory();
    std::optional<CIdCardInfo> record = engine_.Tags().Find(TagIdText(tag));
    // Known: registered, or read (in the tag table now, or anywhere in the history).
    bool known = label.has_value() || record.has_value();
    if (!known && access.reader != nullptr) {
        history::Filter one;
        one.tag = tag;
        one.limit = 1;
        const auto reads = access.reader->Reads(one);
        const auto zoned = access.reader->ZoneOfTagAt(tag, INT64_MAX);
        known = (reads && !reads->empty()) || (zoned && zoned->has_value());
    }
    if (!known) {
        return FieldError(404, "tag " + TagIdText(tag) + " was never read and is not registered",
                          "tag");
    }

    std::optional<std::string> zone, lastReader;
    std::optional<std::int64_t> since, lastSeen;
    if (*at) {
        if (access.reader == nullptr) {
            return ErrorResponse(404, access.problem);
        }
        auto row = access.reader->ZoneOfTagAt(tag, **at);
        if (!row) {
            return ErrorResponse(500, row.error().text);
        }
        // An enter: in that zone since then. An exit: in none, last seen there. None: unknown.
        if (*row) {
            const history::ZoneRow& z = **row;
            lastReader = z.reader;
            if (z.kind == events::ZoneEventKind::kEnter) {
                zone = z.zone;
                since = z.sinceMs;
            } else {
                lastSeen = z.lastSeenMs;
            }
        }
    } else {
        if (const auto stay = engine_.Zones().StayOf(tag)) {
            zone = stay->zone;
            since = stay->sinceMs;
            lastReader = stay->reader;
            lastSeen = stay->lastSeenMs;
        }
        // The tag table has the last read anywhere (a reader in no zone, too); its time is
        // to the second, as the tag list shows it.
        if (record) {
            const std::optional<std::int64_t> tableMs = ParseIsoTime(record->lastReadTime);
            if (tableMs && (!lastSeen || *tableMs > *lastSeen)) {
                lastSeen = tableMs;
                lastReader = TextCodec::Usable(access.codePage).ToUtf8(record->deviceName);
            }
        }
    }

    JsonWriter w;
    w.BeginObject().Field("tag", TagIdText(tag));
    WriteOptional(w, "label", label ? std::optional<std::string>(label->label) : std::nullopt);
    WriteOptional(w, "group", label ? std::optional<std::string>(label->group) : std::nullopt);
    WriteOptional(w, "zone", zone);
    WriteTime(w, "since", since);
    WriteOptional(w, "last_reader", lastReader);
    WriteTime(w, "last_seen", lastSeen);
    if (*at) {
        w.Field("at", FormatIsoTime(**at)).Field("at_ms", **at);
    }
    w.EndObject();
    return JsonResponse(200, w.Take());
}

void ApiRouter::SiteMetrics(MetricsText& m) {
    const std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return;
    }
    const std::shared_ptr<const site::Snapshot> snapshot = site->Current();
    std::map<std::string, std::size_t, std::less<>> now;
    for (auto& [zone, count] : engine_.Zones().Counts()) {
        now[std::move(zone)] = count;
    }
    m.Family("trelvane_assets", "gauge", "Assets (labelled tags) in the site register.");
    m.Sample("trelvane_assets", std::uint64_t{snapshot->AssetCount()});
    m.Family("trelvane_zone_tags", "gauge", "Tags in each zone now.");
    for (const site::Zone& zone : snapshot->Zones()) {
        const auto count = now.find(zone.name);
        m.Sample("trelvane_zone_tags", std::uint64_t{count == now.end() ? 0u : count->second},
                 {{"zone", zone.name}});
    }
}

}  // namespace trelvane::api
