#pragma once

// The fleet-wide report clock and tag cursor. One timer paces every reporting reader, so ten
// thousand readers cost one timer and one pass over a vector per tick, not ten thousand timers.
//
// Threading: lives on the thread of its readers' event loop and is used from it only.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <vector>

namespace trelvane {

class SimReader;

class SimPacer final : public QObject {
    Q_OBJECT

  public:
    // Granularity of the schedule. A reader due several reports within one tick gets them as
    // one write.
    static constexpr int kTickMs = 10;

    explicit SimPacer(QObject* parent = nullptr);
    ~SimPacer() override;

    // Starts pacing `reader` at its options' rate (reports per second, above 0). Reader k
    // (counting every Add) is given a phase of frac(k * 0.618...) of a period, so a fleet's
    // reports spread over each second instead of arriving in step; the first reader added
    // reports at once. A reader is never more than one report ahead of rate * elapsed.
    void Add(SimReader* reader);
    // Stops pacing `reader`; safe to call for a reader not paced and from inside a tick.
    void Remove(SimReader* reader);

    // The next tag number for a reader whose options give `first` and `count`: first + (k mod
    // count), with k one cursor for everything this pacer serves. So a fleet that has sent R
    // reports in all has reported exactly min(R, count) distinct IDs (when all its readers share
    // first and count), each either floor(R / count) or ceil(R / count) times.
    std::uint32_t NextTag(std::uint32_t first, std::uint32_t count);

    std::uint64_t TagsIssued() const { return tagCursor_; }
    std::size_t PacedReaders() const;

  private:
    struct Entry {
        SimReader* reader = nullptr;  // null once removed during a tick
        qint64 startMs = 0;
        std::uint64_t scheduled = 0;
        double phase = 0.0;  // in (0, 1]: how far into its first period the reader starts
    };

    void Tick();
    void Compact();

    std::vector<Entry> entries_;
    QTimer timer_;
    QElapsedTimer elapsed_;
    std::uint64_t tagCursor_ = 0;
    std::uint64_t added_ = 0;
    bool ticking_ = false;
    bool holes_ = false;
};

}  // namespace trelvane
