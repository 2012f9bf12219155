#include "shell/ReadRatePlot.h"

#include <QPainter>
#include <algorithm>

namespace trelvane {
namespace {

std::int64_t SecondOf(std::int64_t unixMs) {
    return unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000;
}

}  // namespace

ReadRateSeries::ReadRateSeries(int seconds)
    : counts_(static_cast<std::size_t>(std::max(seconds, 2)), 0) {}

std::uint64_t& ReadRateSeries::At(std::int64_t second) {
    const auto n = static_cast<std::int64_t>(counts_.size());
    return counts_[static_cast<std::size_t>(((second % n) + n) % n)];
}

// Clears the seconds between the latest one and `second`: at most the whole ring.
void ReadRateSeries::AdvanceTo(std::int64_t second) {
    if (!second_) {
        std::fill(counts_.begin(), counts_.end(), 0);
        second_ = second;
        return;
    }
    if (second <= *second_) {
        return;
    }
    const std::int64_t gap =
        std::min<std::int64_t>(second - *second_, static_cast<std::int64_t>(counts_.size()));
    for (std::int64_t s = second - gap + 1; s <= second; ++s) {
        At(s) = 0;
    }
    second_ = second;
}

void ReadRateSeries::Sample(std::int64_t unixMs, std::uint64_t totalReads) {
    AdvanceTo(SecondOf(unixMs));
    if (total_ && totalReads >= *total_) {
        At(*second_) += totalReads - *total_;
    }
    total_ = totalReads;
}

std::vector<std::uint64_t> ReadRateSeries::Values() const {
    std::vector<std::uint64_t> out(counts_.size(), 0);
    if (!second_) {
        return out;
    }
    const auto n = static_cast<std::int64_t>(counts_.size());
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t s = *second_ - (n - 1) + i;
        out[static_cast<std::size_t>(i)] = counts_[static_cast<std::size_t>(((s % n) + n) % n)];
    }
    return out;
}

std::uint64_t ReadRateSeries::Peak() const {
    return *std::max_element(counts_.begin(), counts_.end());
}

std::uint64_t ReadRateSeries::LastFullSecond() const {
    if (!second_) {
        return 0;
    }
    const auto n = static_cast<std::int64_t>(counts_.size());
    const std::int64_t s = *second_ - 1;
    return counts_[static_cast<std::size_t>(((s % n) + n) % n)];
}

ReadRatePlot::ReadRatePlot(QWidget* parent, int seconds) : QWidget(parent), series_(seconds) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ReadRatePlot::Sample(std::int64_t unixMs, std::uint64_t totalReads) {
    series_.Sample(unixMs, totalReads);
    update();
}

// The counts as a filled step line, one pixel column per share of the seconds (its highest
// count), scaled to the window's peak, without antialiasing; the last full second's count as a
// number at the right. About 150 columns: cheap whatever the window holds.
void ReadRatePlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette& pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    const QString label = QStringLiteral("%1/s").arg(series_.LastFullSecond());
    const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("000000/s")) + 4;
    const int left = 1;
    const int bottom = height() - 2;
    const int columns = std::max(width() - labelWidth - 2, 8);
    const int span = std::max(height() - 4, 1);
    const std::vector<std::uint64_t> values = series_.Values();
    const double peak = static_cast<double>(std::max<std::uint64_t>(series_.Peak(), 1));
    const std::size_t n = values.size();
    QPolygon outline;
    outline.reserve(2 * columns + 2);
    outline << QPoint(left, bottom);
    for (int x = 0; x < columns; ++x) {
        const std::size_t first =
            static_cast<std::size_t>(x) * n / static_cast<std::size_t>(columns);
        const std::size_t end = std::max(
            first + 1, static_cast<std::size_t>(x + 1) * n / static_cast<std::size_t>(columns));
        std::uint64_t high = 0;
        for (std::size_t i = first; i < end && i < n; ++i) {
            high = std::max(high, values[i]);
        }
        const int y = bottom - static_cast<int>(static_cast<double>(high) / peak * span + 0.5);
        outline << QPoint(left + x, y) << QPoint(left + x + 1, y);
    }
    outline << QPoint(left + columns, bottom);
    QColor tint = pal.color(QPalette::Highlight);
    tint.setAlpha(80);
    p.setPen(Qt::NoPen);
    p.setBrush(tint);
    p.drawPolygon(outline);
    p.setPen(pal.color(QPalette::Highlight));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(outline.constData() + 1, static_cast<int>(outline.size()) - 2);
    p.setPen(pal.color(QPalette::Mid));
    p.drawLine(left, bottom, left + columns, bottom);
    p.setPen(pal.color(QPalette::Text));
    p.drawText(QRect(width() - labelWidth, 0, labelWidth - 2, height()),
               Qt::AlignRight | Qt::AlignVCenter, label);
}

}  // namespace trelvane
