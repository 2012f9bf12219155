#include "site/AssetTags.h"

#include <algorithm>

namespace trelvane::site {

std::vector<std::uint32_t> TagsOfAssets(const Snapshot& site, std::optional<std::string_view> label,
                                        std::optional<std::string_view> group) {
    if (!label && !group) {
        return {};
    }
    // A label names few tags and is found by one search; a group is a walk of every asset.
    std::vector<std::uint32_t> tags = label ? site.TagsLabelled(*label) : site.TagsInGroup(*group);
    if (label && group) {
        std::erase_if(tags, [&](std::uint32_t tag) {
            const std::optional<Label> asset = site.AssetOf(tag);
            return !asset || asset->group != *group;
        });
    }
    std::sort(tags.begin(), tags.end());
    return tags;
}

}  // namespace trelvane::site
