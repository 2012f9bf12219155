#pragma once

// A rule of the site: a condition over tags, zones and readers that raises an alert while it
// holds. Rules live in the site register beside the zones and assets they name; the service's
// rule engine evaluates them.
//
//   dwell           a tag (`tag`), any asset of `group`, or any tag, in `zone` longer than
//                   `seconds`
//   absent          a tag or any asset of `group` not read (in `zone`, or anywhere) for
//                   `seconds`
//   forbidden       an asset of `group` enters `zone`
//   unregistered    a tag the register does not name is read (in `zone`, or anywhere)
//   reader_offline  `reader` (a name, or "*": every reader) not connected and reading for
//                   `seconds`
//   reader_silent   `reader` (or "*") reading but with no tag read for `seconds`

#include <cstdint>
#include <optional>
#include <string>

#include "events/Event.h"

namespace trelvane::site {

inline constexpr std::int64_t kMaxRuleSeconds = 366LL * 24 * 3600;  // a year and a day

struct Rule {
    std::string name;
    events::RuleKind kind = events::RuleKind::kDwell;
    std::int64_t seconds = 0;
    std::optional<std::uint32_t> tag;
    std::string group;
    std::string zone;
    std::string reader;
    friend bool operator==(const Rule&, const Rule&) = default;
};

// What a rule's fields must be for its kind, apart from whether its zone and group exist (the
// register knows that). nullopt, or the field at fault and why.
struct RuleFault {
    std::string field;
    std::string text;
};
std::optional<RuleFault> CheckRuleShape(const Rule& rule);

// A sentence describing what the rule watches ("Dwell: any asset of pallets in Cold room for
// more than 600 s").
std::string Describe(const Rule& rule);

}  // namespace trelvane::site
