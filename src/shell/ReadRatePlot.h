#pragma once

// The main window's plot of tag reads per second over the last minutes, in the status bar's
// last pane.
//
// ReadRateSeries turns samples of the tag table's running total of reads (TagStore::TotalReads)
// into counts per whole second of the clock: each sample adds the reads since the previous one
// to the second it falls in, so the cost of a sample is constant, whatever the rate. Seconds
// without a sample count zero; a total that went down (Clear All Record, a new run) starts
// counting again from it. The plot samples on the tag list's refresh tick and repaints later,
// through the widget's update: the tick itself never paints.
//
// Threading: the user-interface thread.

#include <QWidget>
#include <cstdint>
#include <optional>
#include <vector>

namespace trelvane {

class ReadRateSeries {
  public:
    explicit ReadRateSeries(int seconds = 300);

    // The running total at `unixMs`; samples come in time order (an earlier one counts in the
    // latest second).
    void Sample(std::int64_t unixMs, std::uint64_t totalReads);

    int Seconds() const { return static_cast<int>(counts_.size()); }
    // Reads in each of the last Seconds() whole seconds up to the latest sample's, oldest first
    // (the last one still filling).
    std::vector<std::uint64_t> Values() const;
    std::uint64_t Peak() const;
    // The reads in the last complete second before the latest sample's second.
    std::uint64_t LastFullSecond() const;

  private:
    std::uint64_t& At(std::int64_t second);
    void AdvanceTo(std::int64_t second);

    std::vector<std::uint64_t> counts_;   // ring by second number
    std::optional<std::int64_t> second_;  // of the latest sample
    std::optional<std::uint64_t> total_;
};

class ReadRatePlot final : public QWidget {
    Q_OBJECT

  public:
    explicit ReadRatePlot(QWidget* parent = nullptr, int seconds = 300);

    // A refresh tick: one sample and a repaint request.
    void Sample(std::int64_t unixMs, std::uint64_t totalReads);
    const ReadRateSeries& Series() const { return series_; }
    QSize sizeHint() const override { return {160, 18}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ReadRateSeries series_;
};

}  // namespace trelvane
