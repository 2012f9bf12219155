#include "api/Metrics.h"

#include <cstdio>

namespace trelvane::api {

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void MetricsText::Family(std::string_view name, std::string_view type, std::string_view help) {
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::Head(std::string_view name, const Labels& labels) {
    out_.append(name);
    if (!labels.empty()) {
        out_ += '{';
        bool first = true;
        for (const auto& [label, value] : labels) {
            if (!first) {
                out_ += ',';
            }
            first = false;
            out_.append(label).append("=\"").append(EscapeLabelValue(value)).append("\"");
        }
        out_ += '}';
    }
    out_ += ' ';
}

void MetricsText::Sample(std::string_view name, std::uint64_t value, const Labels& labels) {
    Head(name, labels);
    out_.append(std::to_string(value)).append("\n");
}

void MetricsText::Sample(std::string_view name, double value, const Labels& labels) {
    Head(name, labels);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", value);
    out_.append(buf).append("\n");
}

}  // namespace trelvane::api
