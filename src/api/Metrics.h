#pragma once

// The Prometheus text exposition format (version 0.0.4): families with HELP and TYPE lines,
// samples with escaped label values.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trelvane::api {

// A label value with '\\', '"' and line feeds escaped as the format asks.
std::string EscapeLabelValue(std::string_view value);

class MetricsText {
  public:
    using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

    // "counter" or "gauge".
    void Family(std::string_view name, std::string_view type, std::string_view help);
    void Sample(std::string_view name, std::uint64_t value, const Labels& labels = {});
    void Sample(std::string_view name, double value, const Labels& labels = {});

    std::string Take() { return std::move(out_); }

  private:
    void Head(std::string_view name, const Labels& labels);
    std::string out_;
};

}  // namespace trelvane::api
