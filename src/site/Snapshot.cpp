#include "site/Snapshot.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

namespace trelvane::site {
namespace {

constexpr std::uint32_t kGone = UINT32_MAX;

// Groups by name while a base is built: views into texts that outlive the build.
class GroupNumbers {
  public:
    explicit GroupNumbers(std::vector<std::string>& groups) : groups_(groups) {
        groups_.assign(1, std::string());
    }
    std::uint16_t Of(std::string_view name) {
        if (name.empty()) {
            return 0;
        }
        const auto [at, added] = index_.try_emplace(name, 0);
        if (added) {
            if (groups_.size() > UINT16_MAX) {
                throw std::length_error("more than 65,535 asset groups");
            }
            at->second = static_cast<std::uint16_t>(groups_.size());
            groups_.emplace_back(name);
        }
        return at->second;
    }

  private:
    std::vector<std::string>& groups_;
    std::unordered_map<std::string_view, std::uint16_t> index_;
};

}  // namespace

std::shared_ptr<const Snapshot> Snapshot::Make(std::vector<Asset> assets, std::vector<Zone> zones,
                                               std::uint64_t version) {
    auto s = std::make_shared<Snapshot>();
    auto base = std::make_shared<Base>();
    Base& b = *base;
    s->version_ = version;
    GroupNumbers groups(b.groups);  // views into `assets`
    std::size_t labelBytes = 0;
    for (const Asset& a : assets) {
        labelBytes += std::min(a.label.size(), kMaxLabelBytes);
    }
    b.labels.reserve(labelBytes);
    b.entries.reserve(assets.size());
    b.byTag.Reserve(assets.size());
    for (const Asset& a : assets) {
        const std::uint16_t group = groups.Of(a.group);
        const auto label = static_cast<std::uint32_t>(b.labels.size());
        const auto labelSize = static_cast<std::uint16_t>(std::min(a.label.size(), kMaxLabelBytes));
        b.labels.append(a.label, 0, labelSize);
        b.byTag.Insert(a.tag, static_cast<std::uint32_t>(b.entries.size()));
        b.entries.push_back(Entry{a.tag, label, labelSize, group});
    }
    b.byLabel.resize(b.entries.size());
    for (std::uint32_t i = 0; i < b.byLabel.size(); ++i) {
        b.byLabel[i] = i;
    }
    std::sort(b.byLabel.begin(), b.byLabel.end(), [&](std::uint32_t x, std::uint32_t y) {
        const Entry& ex = b.entries[x];
        const Entry& ey = b.entries[y];
        const std::string_view lx = b.LabelOf(ex);
        const std::string_view ly = b.LabelOf(ey);
        return lx != ly ? lx < ly : ex.tag < ey.tag;
    });
    s->assetCount_ = b.entries.size();
    s->base_ = std::move(base);
    s->SetZones(std::move(zones));
    return s;
}

std::shared_ptr<const Snapshot> Snapshot::EmptyRegister() {
    static const std::shared_ptr<const Snapshot> empty = Make({}, {}, 0);
    return empty;
}

std::shared_ptr<const Snapshot> Snapshot::Edited(std::span<const AssetEdit> edits,
                                                 std::vector<Zone> zones,
                                                 std::uint64_t version) const {
    // Each edited tag's latest state: an edit of the old overlay (index < overlay_.size()) or
    // one of `edits` (overlay_.size() + its index).
    std::vector<std::uint32_t> latest;
    latest.reserve(overlay_.size() + edits.size());
    TagIndex slotOf;  // tag -> latest index
    slotOf.Reserve(overlay_.size() + edits.size());
    for (std::uint32_t i = 0; i < overlay_.size(); ++i) {
        slotOf.Insert(overlay_[i].tag, i);
        latest.push_back(i);
    }
    for (std::size_t j = 0; j < edits.size(); ++j) {
        const auto source = static_cast<std::uint32_t>(overlay_.size() + j);
        const auto [slot, added] =
            slotOf.FindOrInsert(edits[j].tag, static_cast<std::uint32_t>(latest.size()));
        if (added) {
            latest.push_back(source);
        } else {
            latest[*slot] = source;
        }
    }

    auto s = std::make_shared<Snapshot>();
    s->version_ = version;
    s->SetZones(std::move(zones));
    s->overlay_.reserve(latest.size());
    std::size_t added = 0;
    std::size_t removed = 0;
    for (const std::uint32_t source : latest) {
        Edit e;
        std::string_view label;
        std::string_view group;
        if (source < overlay_.size()) {
            e = overlay_[source];
            label = LabelOf(e);
            group = GroupOf(e);
        } else {
            const AssetEdit& a = edits[source - overlay_.size()];
            e.tag = a.tag;
            e.removed = a.removed;
            e.inBase = base_->byTag.Find(a.tag) != nullptr;
            if (!e.removed) {
                label = std::string_view(a.label).substr(0, kMaxLabelBytes);
                group = std::string_view(a.group).substr(0, UINT16_MAX);
            }
        }
        if (e.removed && !e.inBase) {
            continue;  // neither in the base nor set: nothing to hide
        }
        e.text = static_cast<std::uint32_t>(s->overlayText_.size());
        e.labelSize = static_cast<std::uint16_t>(label.size());
        e.groupSize = static_cast<std::uint16_t>(group.size());
        s->overlayText_.append(label).append(group);
        added += !e.removed && !e.inBase ? 1 : 0;
        removed += e.removed ? 1 : 0;
        s->overlay_.push_back(e);
    }
    s->assetCount_ = base_->entries.size() + added - removed;

    s->overlayByTag_.Reserve(s->overlay_.size());
    for (std::uint32_t i = 0; i < s->overlay_.size(); ++i) {
        s->overlayByTag_.Insert(s->overlay_[i].tag, i);
    }
    if (s->overlay_.size() <= kMaxOverlay) {
        s->base_ = base_;
        return s;
    }
    s->base_ = Merged(*base_, s->overlay_, s->overlayText_, s->overlayByTag_);
    std::vector<Edit>().swap(s->overlay_);
    std::string().swap(s->overlayText_);
    s->overlayByTag_.Clear();
    return s;
}

// One pass over the base in its entry order and one over its label order: no sort of the
// million, no read of the file.
std::shared_ptr<const Snapshot::Base> Snapshot::Merged(const Base& base,
                                                       const std::vector<Edit>& edits,
                                                       std::string_view text,
                                                       const TagIndex& edited) {
    auto merged = std::make_shared<Base>();
    Base& m = *merged;
    // Groups no asset uses any more are left behind; views into `base` and `text`.
    GroupNumbers groups(m.groups);
    std::vector<std::uint32_t> groupOf(base.groups.size(), kGone);
    groupOf[0] = 0;
    std::size_t entries = base.entries.size();
    std::size_t labelBytes = base.labels.size();
    for (const Edit& e : edits) {
        if (e.inBase) {
            --entries;
            labelBytes -= base.entries[*base.byTag.Find(e.tag)].labelSize;
        }
        if (!e.removed) {
            ++entries;
            labelBytes += e.labelSize;
        }
    }
    m.entries.reserve(entries);
    m.labels.reserve(labelBytes);
    std::vector<std::uint32_t> moved(base.entries.size(), kGone);  // base entry -> merged entry
    for (std::uint32_t i = 0; i < base.entries.size(); ++i) {
        const Entry& e = base.entries[i];
        if (edited.Find(e.tag) != nullptr) {
            continue;
        }
        std::uint32_t& group = groupOf[e.group];
        if (group == kGone) {
            group = groups.Of(base.groups[e.group]);
        }
        moved[i] = static_cast<std::uint32_t>(m.entries.size());
        m.entries.push_back(Entry{e.tag, static_cast<std::uint32_t>(m.labels.size()), e.labelSize,
                                  static_cast<std::uint16_t>(group)});
        m.labels.append(base.LabelOf(e));
    }
    const auto firstNew = static_cast<std::uint32_t>(m.entries.size());
    for (const Edit& e : edits) {
        if (e.removed) {
            continue;
        }
        const std::uint16_t group = groups.Of(text.substr(e.text + e.labelSize, e.groupSize));
        m.entries.push_back(
            Entry{e.tag, static_cast<std::uint32_t>(m.labels.size()), e.labelSize, group});
        m.labels.append(text.substr(e.text, e.labelSize));
    }
    m.byTag.Reserve(m.entries.size());
    for (std::uint32_t i = 0; i < m.entries.size(); ++i) {
        m.byTag.Insert(m.entries[i].tag, i);
    }

    const auto before = [&](std::uint32_t x, std::uint32_t y) {
        const std::string_view lx = m.LabelOf(m.entries[x]);
        const std::string_view ly = m.LabelOf(m.entries[y]);
        return lx != ly ? lx < ly : m.entries[x].tag < m.entries[y].tag;
    };
    std::vector<std::uint32_t> fresh(m.entries.size() - firstNew);
    for (std::uint32_t i = 0; i < fresh.size(); ++i) {
        fresh[i] = firstNew + i;
    }
    std::sort(fresh.begin(), fresh.end(), before);
    std::vector<std::uint32_t> kept;
    kept.reserve(firstNew);
    for (const std::uint32_t e : base.byLabel) {
        if (moved[e] != kGone) {
            kept.push_back(moved[e]);
        }
    }
    // Each new entry finds its place by a binary search; the runs between are copied.
    m.byLabel.reserve(m.entries.size());
    auto from = kept.begin();
    for (const std::uint32_t e : fresh) {
        const auto at = std::lower_bound(from, kept.end(), e, before);
        m.byLabel.insert(m.byLabel.end(), from, at);
        m.byLabel.push_back(e);
        from = at;
    }
    m.byLabel.insert(m.byLabel.end(), from, kept.end());
    return merged;
}

void Snapshot::SetZones(std::vector<Zone> zones) {
    zones_ = std::move(zones);
    readerZones_.clear();
    for (std::uint32_t z = 0; z < zones_.size(); ++z) {
        for (const std::string& reader : zones_[z].readers) {
            readerZones_.emplace_back(reader, z);
        }
    }
    std::sort(readerZones_.begin(), readerZones_.end());
}

std::optional<Label> Snapshot::AssetOf(std::uint32_t tag) const {
    if (!overlay_.empty()) {
        if (const Edit* edit = EditOf(tag)) {
            if (edit->removed) {
                return std::nullopt;
            }
            return Label{LabelOf(*edit), GroupOf(*edit)};
        }
    }
    const Base& b = *base_;
    const std::uint32_t* entry = b.byTag.Find(tag);
    if (entry == nullptr) {
        return std::nullopt;
    }
    const Entry& e = b.entries[*entry];
    return Label{b.LabelOf(e), b.groups[e.group]};
}

std::vector<std::uint32_t> Snapshot::TagsLabelled(std::string_view label) const {
    const Base& b = *base_;
    auto at = std::lower_bound(
        b.byLabel.begin(), b.byLabel.end(), label,
        [&](std::uint32_t e, std::string_view l) { return b.LabelOf(b.entries[e]) < l; });
    std::vector<std::uint32_t> tags;
    for (; at != b.byLabel.end() && b.LabelOf(b.entries[*at]) == label; ++at) {
        const std::uint32_t tag = b.entries[*at].tag;
        if (overlay_.empty() || EditOf(tag) == nullptr) {
            tags.push_back(tag);
        }
    }
    for (const Edit& e : overlay_) {
        if (!e.removed && LabelOf(e) == label) {
            tags.push_back(e.tag);
        }
    }
    std::sort(tags.begin(), tags.end());
    return tags;
}

std::vector<std::uint32_t> Snapshot::TagsInGroup(std::string_view group) const {
    std::vector<std::uint32_t> tags;
    if (group.empty()) {
        return tags;
    }
    const Base& b = *base_;
    const auto named = std::find(b.groups.begin() + 1, b.groups.end(), group);
    if (named != b.groups.end()) {
        const auto g = static_cast<std::uint16_t>(named - b.groups.begin());
        for (const Entry& e : b.entries) {
            if (e.group == g && (overlay_.empty() || EditOf(e.tag) == nullptr)) {
                tags.push_back(e.tag);
            }
        }
    }
    for (const Edit& e : overlay_) {
        if (!e.removed && GroupOf(e) == group) {
            tags.push_back(e.tag);
        }
    }
    std::sort(tags.begin(), tags.end());
    return tags;
}

std::uint32_t Snapshot::ZoneOfReader(std::string_view reader) const {
    const auto at =
        std::lower_bound(readerZones_.begin(), readerZones_.end(), reader,
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

std::size_t Snapshot::Base::MemoryBytes() const {
    std::size_t bytes = entries.capacity() * sizeof(Entry) + labels.capacity() +
                        byTag.MemoryBytes() + byLabel.capacity() * sizeof(std::uint32_t);
    for (const std::string& g : groups) {
        bytes += sizeof(std::string) + g.capacity();
    }
    return bytes;
}

std::size_t Snapshot::MemoryBytes() const {
    std::size_t bytes = base_->MemoryBytes() + overlay_.capacity() * sizeof(Edit) +
                        overlayText_.capacity() + overlayByTag_.MemoryBytes();
    for (const Zone& z : zones_) {
        bytes += sizeof(Zone) + z.name.capacity();
        for (const std::string& r : z.readers) {
            bytes += sizeof(std::string) + r.capacity();
        }
    }
    return bytes + readerZones_.capacity() * (sizeof(std::string) + sizeof(std::uint32_t) + 4);
}

}  // namespace trelvane::site
