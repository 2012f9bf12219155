#include "site/Snapshot.h"

#include <algorithm>
#include <stdexcept>

namespace trelvane::site {

std::shared_ptr<const Snapshot> Snapshot::Make(std::vector<Asset> assets, std::vector<Zone> zones,
                                               std::uint64_t version) {
    auto s = std::make_shared<Snapshot>();
    s->version_ = version;
    s->groups_.emplace_back();
    std::vector<std::pair<std::string_view, std::uint16_t>> groupIndex;  // sorted by name
    std::size_t labelBytes = 0;
    for (const Asset& a : assets) {
        labelBytes += a.label.size();
    }
    s->labels_.reserve(labelBytes);
    s->entries_.reserve(assets.size());
    for (const Asset& a : assets) {
        std::uint16_t group = 0;
        if (!a.group.empty()) {
            const auto at = std::lower_bound(
                groupIndex.begin(), groupIndex.end(), std::string_view(a.group),
                [](const auto& item, std::string_view name) { return item.first < name; });
            if (at != groupIndex.end() && at->first == a.group) {
                group = at->second;
            } else {
                if (s->groups_.size() > UINT16_MAX) {
                    throw std::length_error("more than 65,535 asset groups");
                }
                group = static_cast<std::uint16_t>(s->groups_.size());
                s->groups_.push_back(a.group);
                // Views into `assets` (groups_ moves its strings as it grows).
                groupIndex.insert(at, {std::string_view(a.group), group});
            }
        }
        const auto label = static_cast<std::uint32_t>(s->labels_.size());
        const auto labelSize = static_cast<std::uint16_t>(std::min(a.label.size(), kMaxLabelBytes));
        s->labels_.append(a.label, 0, labelSize);
        s->byTag_.Insert(a.tag, static_cast<std::uint32_t>(s->entries_.size()));
        s->entries_.push_back(Entry{a.tag, label, labelSize, group});
    }
    s->byLabel_.resize(s->entries_.size());
    for (std::uint32_t i = 0; i < s->byLabel_.size(); ++i) {
        s->byLabel_[i] = i;
    }
    std::sort(s->byLabel_.begin(), s->byLabel_.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Entry& x = s->entries_[a];
        const Entry& y = s->entries_[b];
        const std::string_view lx = s->LabelOf(x);
        const std::string_view ly = s->LabelOf(y);
        return lx != ly ? lx < ly : x.tag < y.tag;
    });
    s->zones_ = std::move(zones);
    for (std::uint32_t z = 0; z < s->zones_.size(); ++z) {
        for (const std::string& reader : s->zones_[z].readers) {
            s->readerZones_.emplace_back(reader, z);
        }
    }
    std::sort(s->readerZones_.begin(), s->readerZones_.end());
    return s;
}

std::shared_ptr<const Snapshot> Snapshot::EmptyRegister() {
    static const std::shared_ptr<const Snapshot> empty = Make({}, {}, 0);
    return empty;
}

std::optional<Label> Snapshot::AssetOf(std::uint32_t tag) const {
    const std::uint32_t* entry = byTag_.Find(tag);
    if (entry == nullptr) {
        return std::nullopt;
    }
    const Entry& e = entries_[*entry];
    return Label{LabelOf(e), groups_[e.group]};
}

std::vector<std::uint32_t> Snapshot::TagsLabelled(std::string_view label) const {
    auto at = std::lower_bound(byLabel_.begin(), byLabel_.end(), label,
                               [&](std::uint32_t e, std::string_view l) {
                                   return LabelOf(entries_[e]) < l;
                               });
    std::vector<std::uint32_t> tags;
    for (; at != byLabel_.end() && LabelOf(entries_[*at]) == label; ++at) {
        tags.push_back(entries_[*at].tag);
    }
    return tags;
}

std::vector<std::uint32_t> Snapshot::TagsInGroup(std::string_view group) const {
    std::vector<std::uint32_t> tags;
    for (const Entry& e : entries_) {
        if (e.group != 0 && groups_[e.group] == group) {
            tags.push_back(e.tag);
        }
    }
    std::sort(tags.begin(), tags.end());
    return tags;
}

std::uint32_t Snapshot::ZoneOfReader(std::string_view reader) const {
    const auto at = std::lower_bound(
        readerZones_.begin(), readerZones_.end(), reader,
        [](const auto& item, std::string_view name) { return item.first < name; });
    return at != readerZones_.end() && at->first == reader ? at->second : kNoZone;
}

std::optional<std::uint32_t> Snapshot::ZoneNamed(std::string_view name) const {
    for (std::uint32_t z = 0; z < zones_.size(); ++z) {
        if (zones_[z].name == name) {
            return z;
        }
    }
    return std::nullopt;
}

std::size_t Snapshot::MemoryBytes() const {
    std::size_t bytes = entries_.capacity() * sizeof(Entry) + labels_.capacity() +
                        byTag_.MemoryBytes() + byLabel_.capacity() * sizeof(std::uint32_t);
    for (const std::string& g : groups_) {
        bytes += sizeof(std::string) + g.capacity();
    }
    for (const Zone& z : zones_) {
        bytes += sizeof(Zone) + z.name.capacity();
        for (const std::string& r : z.readers) {
            bytes += sizeof(std::string) + r.capacity();
        }
    }
    return bytes + readerZones_.capacity() * (sizeof(std::string) + sizeof(std::uint32_t) + 4);
}

}  // namespace trelvane::site
