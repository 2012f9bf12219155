#pragma once

// The tag table and list exactly as the operator's screen is defined, written the slow and
// obvious way: an ordered map from ID text to record, and a refresh that walks the whole map in
// key order, finds each ID's row (the first row whose column 0 holds it) and appends or
// rewrites it. Tests compare the real store against it; the refresh benchmark uses it as the
// cost of a full walk.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace trelvane::test {

class ReferenceTagTable {
  public:
    struct Record {
        std::string device;
        std::string time;
        std::int32_t count = 0;
    };
    using Row = std::array<std::string, 6>;

    // A list of rows with its "first row holding this ID" lookup (rows are never removed one by
    // one, so the first row of an ID never changes).
    struct List {
        std::vector<Row> rows;
        std::unordered_map<std::string, std::size_t> firstRow;
    };

    void Record(const std::string& idText, const std::string& device, const std::string& time) {
        auto [it, inserted] = table_.try_emplace(idText);
        it->second.count = inserted ? 1 : it->second.count + 1;
        it->second.device = device;
        it->second.time = time;
    }

    void Refresh(List& list) const {
        if (table_.empty()) {
            return;
        }
        for (const auto& [id, record] : table_) {
            const auto found = list.firstRow.find(id);
            if (found == list.firstRow.end()) {
                list.rows.push_back(Row{id, std::to_string(list.rows.size() + 1), id, record.device,
                                        std::to_string(record.count), record.time});
                list.firstRow.emplace(id, list.rows.size() - 1);
            } else {
                Row& row = list.rows[found->second];
                row[3] = record.device;
                row[4] = std::to_string(record.count);
                row[5] = record.time;
            }
        }
    }

    void Clear(List& list) {
        table_.clear();
        list.rows.clear();
        list.firstRow.clear();
    }

    const std::map<std::string, struct Record>& Table() const { return table_; }

  private:
    std::map<std::string, struct Record> table_;
};

}  // namespace trelvane::test
