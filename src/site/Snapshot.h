#pragma once

// The site register at one moment, as every thread that names tags or places reads it: which
// zone each reader belongs to, and the label and group of each registered tag. A snapshot is
// immutable; the register publishes a new one after each change and readers keep a shared
// pointer to the one they use, so the receive path never waits for an edit.
//
// Memory: about 50 bytes per asset (a 12-byte entry, the label's text, 8 to 16 bytes of index cells
// (the table's load stays between 0.35 and 0.7), a 4-byte slot in the label order); groups are kept once each
// (at most 65,535 of them).
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

class Snapshot final : public events::Labels {
  public:
    // Zone indexes are positions in Zones(); kNoZone for a reader in none.
    static constexpr std::uint32_t kNoZone = UINT32_MAX;

    // `assets` in any order, tags unique; `zones` with each reader in at most one zone. Notes
    // are dropped. `version` grows with every change of the register.
    static std::shared_ptr<const Snapshot> Make(std::vector<Asset> assets, std::vector<Zone> zones,
                                                std::uint64_t version);
    static std::shared_ptr<const Snapshot> EmptyRegister();

    std::uint64_t Version() const { return version_; }
    // Whether the register names nothing: outputs and views then behave as without it.
    bool Empty() const { return zones_.empty() && entries_.empty(); }

    std::optional<Label> AssetOf(std::uint32_t tag) const;
    std::optional<Label> LabelOf(std::uint32_t tag) const override { return AssetOf(tag); }
    // The tags labelled `label` (labels need not be unique), ascending.
    std::vector<std::uint32_t> TagsLabelled(std::string_view label) const;
    // The tags of group `group`, ascending (a walk of every asset).
    std::vector<std::uint32_t> TagsInGroup(std::string_view group) const;
    std::size_t AssetCount() const { return entries_.size(); }

    std::span<const Zone> Zones() const { return zones_; }
    std::uint32_t ZoneOfReader(std::string_view reader) const;
    std::optional<std::uint32_t> ZoneNamed(std::string_view name) const;

    // Heap bytes held (for the measurements and the status line).
    std::size_t MemoryBytes() const;

  private:
    struct Entry {
        std::uint32_t tag = 0;
        std::uint32_t label = 0;  // offset into labels_
        std::uint16_t labelSize = 0;
        std::uint16_t group = 0;  // index into groups_ (0: no group)
    };
    std::string_view LabelOf(const Entry& e) const { return {labels_.data() + e.label, e.labelSize}; }

    std::uint64_t version_ = 0;
    std::vector<Entry> entries_;
    std::string labels_;
    std::vector<std::string> groups_;                        // [0] is the empty group
    detail::KeyIndex<std::uint32_t, std::uint32_t> byTag_;   // tag -> entry
    std::vector<std::uint32_t> byLabel_;                     // entries in label order
    std::vector<Zone> zones_;
    std::vector<std::pair<std::string, std::uint32_t>> readerZones_;  // sorted by reader
};

}  // namespace trelvane::site
