#pragma once

// The site register at one moment, as every thread that names tags or places reads it: which
// zone each reader belongs to, and the label and group of each registered tag. A snapshot is
// immutable; the register publishes a new one after each change and readers keep a shared
// pointer to the one they use, so the receive path never waits for an edit.
//
// An edit does not copy the assets: a snapshot shares its large asset base with the one it was
// made from and carries the tags edited since in a small overlay (at most kMaxOverlay tags;
// the one that would pass it merges overlay and base into a new base, in memory, in one pass).
// Zones are few and copied.
//
// Memory: about 50 bytes per asset (a 12-byte entry, the label's text, 8 to 16 bytes of index cells
// (the table's load stays between 0.35 and 0.7), a 4-byte slot in the label order); groups are kept
// once each (at most 65,535 of them). The overlay adds about 32 bytes and the texts per edited tag.
// Notes are not kept here: they live in the register's file only.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/KeyIndex.h"
#include "events/Event.h"

namespace trelvane::site {

inline constexpr std::size_t kMaxLabelBytes = 200;
inline constexpr std::size_t kMaxNameBytes = 200;  // a zone's, a group's, a reader's name

struct Asset {
    std::uint32_t tag = 0;
    std::string label;
    std::string group;
    std::string note;
    friend bool operator==(const Asset&, const Asset&) = default;
};

struct Zone {
    std::string name;
    std::vector<std::string> readers;  // reader names (UTF-8), in the order given
    friend bool operator==(const Zone&, const Zone&) = default;
};

// A tag's label and group (views into the snapshot that returned them).
using Label = events::AssetLabel;

// A tag's asset as the register holds it now, or its removal.
struct AssetEdit {
    std::uint32_t tag = 0;
    bool removed = false;
    std::string label;  // both empty when removed
    std::string group;
};

class Snapshot final : public events::Labels {
  public:
    // Zone indexes are positions in Zones(); kNoZone for a reader in none.
    static constexpr std::uint32_t kNoZone = UINT32_MAX;

    // `assets` in any order, tags unique; `zones` with each reader in at most one zone. Notes
    // are dropped. `version` grows with every change of the register.
    static std::shared_ptr<const Snapshot> Make(std::vector<Asset> assets, std::vector<Zone> zones,
                                                std::uint64_t version);
    static std::shared_ptr<const Snapshot> EmptyRegister();

    // The overlay's bound: the edit that would make it hold more tags merges it into the base.
    static constexpr std::size_t kMaxOverlay = 4096;
    // This snapshot with `edits` made (in order; a later edit of a tag wins) and `zones`
    // instead of its own. Shares this one's asset base unless the overlay would pass
    // kMaxOverlay. std::length_error when a merge would need more than 65,535 groups.
    std::shared_ptr<const Snapshot> Edited(std::span<const AssetEdit> edits,
                                           std::vector<Zone> zones, std::uint64_t version) const;

    std::uint64_t Version() const { return version_; }
    // Whether the register names nothing: outputs and views then behave as without it.
    bool Empty() const { return zones_.empty() && assetCount_ == 0; }

    std::optional<Label> AssetOf(std::uint32_t tag) const;
    std::optional<Label> LabelOf(std::uint32_t tag) const override { return AssetOf(tag); }
    // The tags labelled `label` (labels need not be unique), ascending.
    std::vector<std::uint32_t> TagsLabelled(std::string_view label) const;
    // The tags of group `group`, ascending (a walk of every asset).
    std::vector<std::uint32_t> TagsInGroup(std::string_view group) const;
    std::size_t AssetCount() const { return assetCount_; }
    // Tags edited since the base was built (for the measurements and the tests).
    std::size_t OverlaySize() const { return overlay_.size(); }
    bool SharesAssetsWith(const Snapshot& other) const { return base_ == other.base_; }

    std::span<const Zone> Zones() const { return zones_; }
    std::uint32_t ZoneOfReader(std::string_view reader) const;
    std::optional<std::uint32_t> ZoneNamed(std::string_view name) const;

    // Heap bytes held (for the measurements and the status line).
    std::size_t MemoryBytes() const;

  private:
    struct Entry {
        std::uint32_t tag = 0;
        std::uint32_t label = 0;  // offset into Base::labels
        std::uint16_t labelSize = 0;
        std::uint16_t group = 0;  // index into Base::groups (0: no group)
    };
    // A tag edited since the base was built: its asset now, or its removal.
    struct Edit {
        std::uint32_t tag = 0;
        std::uint32_t text = 0;  // offset into overlayText_: the label, then the group
        std::uint16_t labelSize = 0;
        std::uint16_t groupSize = 0;
        bool removed = false;
        bool inBase = false;  // whether the base holds the tag (for the count)
    };
    using TagIndex = detail::KeyIndex<std::uint32_t, std::uint32_t>;
    // The assets as the last whole build or merge left them; shared, never changed.
    struct Base {
        std::vector<Entry> entries;
        std::string labels;
        std::vector<std::string> groups;     // [0] is the empty group
        TagIndex byTag;                      // tag -> entry
        std::vector<std::uint32_t> byLabel;  // entries in (label, tag) order

        std::string_view LabelOf(const Entry& e) const {
            return {labels.data() + e.label, e.labelSize};
        }
        std::size_t MemoryBytes() const;
    };
    static std::shared_ptr<const Base> Merged(const Base& base, const std::vector<Edit>& edits,
                                              std::string_view text, const TagIndex& edited);

    std::string_view LabelOf(const Edit& e) const {
        return {overlayText_.data() + e.text, e.labelSize};
    }
    std::string_view GroupOf(const Edit& e) const {
        return {overlayText_.data() + e.text + e.labelSize, e.groupSize};
    }
    const Edit* EditOf(std::uint32_t tag) const {
        const std::uint32_t* at = overlayByTag_.Find(tag);
        return at != nullptr ? &overlay_[*at] : nullptr;
    }
    void SetZones(std::vector<Zone> zones);

    std::uint64_t version_ = 0;
    std::shared_ptr<const Base> base_;
    std::vector<Edit> overlay_;
    std::string overlayText_;
    TagIndex overlayByTag_;  // tag -> overlay_ index
    std::size_t assetCount_ = 0;
    std::vector<Zone> zones_;
    std::vector<std::pair<std::string, std::uint32_t>> readerZones_;  // sorted by reader
};

}  // namespace trelvane::site
