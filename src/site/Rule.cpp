#include "site/Rule.h"

#include "base/JsonText.h"
#include "site/Snapshot.h"

namespace trelvane::site {
namespace {

std::optional<RuleFault> Name(std::string_view field, const std::string& value, bool required) {
    if (value.empty()) {
        if (required) {
            return RuleFault{std::string(field), std::string(field) + " is required for this kind"};
        }
        return std::nullopt;
    }
    if (value.size() > kMaxNameBytes || !IsValidUtf8(value)) {
        return RuleFault{std::string(field), std::string(field) + " must be 1 to " +
                                                 std::to_string(kMaxNameBytes) + " bytes of UTF-8"};
    }
    return std::nullopt;
}

std::optional<RuleFault> Unused(std::string_view field, bool present) {
    if (present) {
        return RuleFault{std::string(field), std::string(field) + " does not apply to this kind"};
    }
    return std::nullopt;
}

}  // namespace

std::optional<RuleFault> CheckRuleShape(const Rule& rule) {
    using events::RuleKind;
    if (auto fault = Name("name", rule.name, true)) {
        return fault;
    }
    if (rule.kind == RuleKind::kTooManyAlerts) {
        return RuleFault{"kind", "too_many_alerts is the service's own alert, not a rule"};
    }
    const bool timed = rule.kind != RuleKind::kForbidden && rule.kind != RuleKind::kUnregistered;
    if (timed && (rule.seconds <= 0 || rule.seconds > kMaxRuleSeconds)) {
        return RuleFault{"seconds", "seconds must be a whole number from 1 to " +
                                        std::to_string(kMaxRuleSeconds)};
    }
    if (!timed) {
        if (auto fault = Unused("seconds", rule.seconds != 0)) {
            return fault;
        }
    }
    const bool aboutReaders =
        rule.kind == RuleKind::kReaderOffline || rule.kind == RuleKind::kReaderSilent;
    if (aboutReaders) {
        if (auto fault = Name("reader", rule.reader, true)) {
            return fault;
        }
        if (auto fault = Unused("tag", rule.tag.has_value())) {
            return fault;
        }
        if (auto fault = Unused("group", !rule.group.empty())) {
            return fault;
        }
        return Unused("zone", !rule.zone.empty());
    }
    if (auto fault = Unused("reader", !rule.reader.empty())) {
        return fault;
    }
    const bool zoneRequired = rule.kind == RuleKind::kDwell || rule.kind == RuleKind::kForbidden;
    if (auto fault = Name("zone", rule.zone, zoneRequired)) {
        return fault;
    }
    switch (rule.kind) {
        case RuleKind::kDwell:
            if (rule.tag && !rule.group.empty()) {
                return RuleFault{"group", "give a tag or a group, not both"};
            }
            return Name("group", rule.group, false);
        case RuleKind::kAbsent:
            if (rule.tag && !rule.group.empty()) {
                return RuleFault{"group", "give a tag or a group, not both"};
            }
            if (!rule.tag && rule.group.empty()) {
                return RuleFault{"tag", "tag or group is required for this kind"};
            }
            return Name("group", rule.group, false);
        case RuleKind::kForbidden:
            if (auto fault = Unused("tag", rule.tag.has_value())) {
                return fault;
            }
            return Name("group", rule.group, true);
        case RuleKind::kUnregistered:
            if (auto fault = Unused("tag", rule.tag.has_value())) {
                return fault;
            }
            return Unused("group", !rule.group.empty());
        default:
            return std::nullopt;
    }
}

std::string Describe(const Rule& rule) {
    using events::RuleKind;
    const std::string who = rule.tag              ? "tag " + std::to_string(*rule.tag)
                            : !rule.group.empty() ? "any asset of " + rule.group
                                                  : "any tag";
    const std::string where = rule.zone.empty() ? "anywhere" : "in " + rule.zone;
    const std::string seconds = std::to_string(rule.seconds) + " s";
    const std::string reader = rule.reader == "*" ? "any reader" : "reader " + rule.reader;
    switch (rule.kind) {
        case RuleKind::kDwell:
            return who + " in " + rule.zone + " for more than " + seconds;
        case RuleKind::kAbsent:
            return who + " not read " + where + " for " + seconds;
        case RuleKind::kForbidden:
            return who + " entered " + rule.zone;
        case RuleKind::kUnregistered:
            return "a tag not in the register read " + where;
        case RuleKind::kReaderOffline:
            return reader + " not connected and reading for " + seconds;
        case RuleKind::kReaderSilent:
            return reader + " reading but no tag read for " + seconds;
        case RuleKind::kTooManyAlerts:
            return "too many open alerts";
    }
    return {};
}

}  // namespace trelvane::site
