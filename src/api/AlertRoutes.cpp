// The rules' and alerts' endpoints: the rules as the site register keeps them (changes run as
// `later` work on the server's worker, as every change of the register does), the open alerts
// as the service's rule stage has them now, and their acknowledgement.
#include <nlohmann/json.hpp>

#include "api/ApiRouter.h"
#include "api/Json.h"
#include "api/SiteReplies.h"
#include "events/EventJson.h"
#include "service/ServiceEngine.h"

namespace trelvane::api {
namespace {

using nlohmann::json;

void WriteRule(JsonWriter& w, const site::Rule& rule) {
    w.BeginObject().Field("name", rule.name).Field("kind", events::Name(rule.kind));
    if (rule.seconds != 0) {
        w.Field("seconds", rule.seconds);
    }
    if (rule.tag) {
        w.Field("tag", std::to_string(*rule.tag));
    }
    if (!rule.group.empty()) {
        w.Field("group", rule.group);
    }
    if (!rule.zone.empty()) {
        w.Field("zone", rule.zone);
    }
    if (!rule.reader.empty()) {
        w.Field("reader", rule.reader);
    }
    w.Field("text", site::Describe(rule)).EndObject();
}

// {"kind":"dwell","seconds":600,"zone":…,"group":…,"tag":"123","reader":…}: the rule named
// `name`, or a 400 naming the field at fault. The register checks what the rule names.
std::optional<site::Rule> RuleOfBody(const std::string& name, const std::string& body,
                                     std::optional<HttpResponse>& error) {
    const json doc = json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = FieldError(400, "the body must be a JSON object {\"kind\":…, …}", "kind");
        return std::nullopt;
    }
    site::Rule rule;
    rule.name = name;
    bool kinded = false;
    for (const auto& [key, value] : doc.items()) {
        if (key == "kind") {
            const auto kind =
                value.is_string() ? events::RuleKindNamed(value.get<std::string>()) : std::nullopt;
            if (!kind || *kind == events::RuleKind::kTooManyAlerts) {
                error = FieldError(400,
                                   "\"kind\" must be one of dwell, absent, forbidden, "
                                   "unregistered, reader_offline, reader_silent",
                                   "kind");
                return std::nullopt;
            }
            rule.kind = *kind;
            kinded = true;
        } else if (key == "seconds") {
            if (!value.is_number_integer() || value.get<std::int64_t>() < 0) {
                error = FieldError(
                    400, "\"seconds\" must be a whole number of seconds, not negative", "seconds");
                return std::nullopt;
            }
            rule.seconds = value.get<std::int64_t>();
            if (rule.seconds == 0) {
                error = FieldError(400, "\"seconds\" must be at least 1", "seconds");
                return std::nullopt;
            }
        } else if (key == "tag") {
            // A tag as the events write it (a string of its decimal number), or a number.
            std::optional<std::uint64_t> tag;
            if (value.is_number_unsigned()) {
                tag = value.get<std::uint64_t>();
            } else if (value.is_string()) {
                tag = ParseUnsigned(value.get<std::string>());
            }
            if (!tag || *tag > UINT32_MAX) {
                error = FieldError(400, "\"tag\" must be a 32-bit decimal tag number", "tag");
                return std::nullopt;
            }
            rule.tag = static_cast<std::uint32_t>(*tag);
        } else if (key == "group" || key == "zone" || key == "reader") {
            if (!value.is_string()) {
                error = FieldError(400, "\"" + key + "\" must be a string", key);
                return std::nullopt;
            }
            (key == "group"  ? rule.group
             : key == "zone" ? rule.zone
                             : rule.reader) = value.get<std::string>();
        } else if (key != "name" && key != "text") {  // what a GET gave back may be sent again
            error = FieldError(400, "unknown field: " + key, key);
            return std::nullopt;
        }
    }
    if (!kinded) {
        error = FieldError(400, "a rule needs a \"kind\"", "kind");
        return std::nullopt;
    }
    if (const auto fault = site::CheckRuleShape(rule)) {
        error = FieldError(400, fault->text, fault->field);
        return std::nullopt;
    }
    return rule;
}

}  // namespace

HttpResponse ApiRouter::Rules() {
    const std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    const std::shared_ptr<const site::Snapshot> snapshot = site->Current();
    JsonWriter w;
    w.BeginObject().Key("rules").BeginArray();
    for (const site::Rule& rule : snapshot->Rules()) {
        WriteRule(w, rule);
    }
    w.EndArray().EndObject();
    return JsonResponse(200, w.Take());
}

HttpResponse ApiRouter::SetRule(const std::string& name, const std::string& body) {
    std::optional<HttpResponse> error;
    std::optional<site::Rule> rule = RuleOfBody(name, body, error);
    if (!rule) {
        return std::move(*error);
    }
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    return Later([site = std::move(site), rule = std::move(*rule)](const std::atomic<bool>&) {
        if (site::Outcome fault = site->SetRule(rule)) {
            return FaultResponse(*fault);
        }
        JsonWriter w;
        WriteRule(w, rule);
        return JsonResponse(200, w.Take());
    });
}

HttpResponse ApiRouter::RemoveRule(const std::string& name) {
    std::shared_ptr<site::Register> site = engine_.Site();
    if (!site) {
        return ErrorResponse(503, engine_.SiteProblem());
    }
    return Later([site = std::move(site), name](const std::atomic<bool>&) {
        if (site::Outcome fault = site->RemoveRule(name)) {
            return FaultResponse(*fault);
        }
        JsonWriter w;
        w.BeginObject().Field("removed", name).EndObject();
        return JsonResponse(200, w.Take());
    });
}

HttpResponse ApiRouter::OpenAlerts(const Target& target) {
    const std::optional<std::string_view> state = target.Value("state");
    if (state && *state != "open") {
        return FieldError(400,
                          "state must be \"open\" (the history has every alert: "
                          "/api/v1/alerts/events)",
                          "state");
    }
    const std::vector<RuleEngine::Open> open = engine_.Rules().OpenAlerts();
    const std::shared_ptr<const events::Labels> labels = CurrentLabels();
    events::EventJson encoder;
    encoder.SetLabels(labels.get());
    std::string out = "{\"alerts\":[";
    // Newest first: what a person looks at first.
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
        if (it != open.rbegin()) {
            out.push_back(',');
        }
        std::string item = encoder.Text(it->raised);
        item.pop_back();  // the raised event's object, with the alert's state after it
        out += item;
        if (it->acknowledged) {
            const events::AlertRow& ack = *it->acknowledged;
            JsonWriter w;
            w.BeginObject()
                .Field("state", "acknowledged")
                .Field("acknowledged_seq", ack.seq)
                .Field("acknowledged_by", ack.by)
                .Field("acknowledged_note", ack.text)
                .EndObject();
            std::string more = w.Take();
            out.push_back(',');
            out.append(more, 1, std::string::npos);
        } else {
            out += ",\"state\":\"open\"}";
        }
    }
    out += "]}";
    return JsonResponse(200, std::move(out));
}

HttpResponse ApiRouter::AcknowledgeAlert(const std::string& seqText, const std::string& body) {
    const std::optional<std::uint64_t> seq = ParseUnsigned(seqText);
    if (!seq) {
        return FieldError(400, "an alert is named by the seq of its raised event", "seq");
    }
    std::string note;
    if (!body.empty()) {
        const json doc = json::parse(body, nullptr, false);
        if (doc.is_discarded() || !doc.is_object()) {
            return FieldError(400, "the body must be empty or a JSON object {\"note\":…}", "note");
        }
        for (const auto& [key, value] : doc.items()) {
            if (key != "note" || !value.is_string()) {
                return FieldError(400, "an acknowledgement has only a \"note\" (a string)", key);
            }
            note = value.get<std::string>();
        }
        if (note.size() > 2000) {
            return FieldError(400, "the note is longer than 2,000 bytes", "note");
        }
    }
    // Who: the API has one token until tokens have names.
    if (!engine_.Rules().Acknowledge(*seq, "api", std::move(note))) {
        return FieldError(404, "no open alert was raised as " + seqText, "seq");
    }
    JsonWriter w;
    w.BeginObject().Field("acknowledged", *seq).EndObject();
    return JsonResponse(202, w.Take());
}

}  // namespace trelvane::api
