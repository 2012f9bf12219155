#pragma once

// The tags an asset filter names, as trelvane-history's --asset and --group and the History
// window's Asset and Group fields take them: the tags labelled `label` (labels need not be
// unique, so a label may name several), the tags of `group`, or, with both, the tags labelled
// `label` that are in `group`. Ascending; empty when no asset matches, which a caller shows as
// such rather than dropping the filter. Neither given: no tags (there is no filter to apply).

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "site/Snapshot.h"

namespace trelvane::site {

std::vector<std::uint32_t> TagsOfAssets(const Snapshot& site, std::optional<std::string_view> label,
                                        std::optional<std::string_view> group);

}  // namespace trelvane::site
