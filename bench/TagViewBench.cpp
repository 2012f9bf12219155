// The desktop's tag list with 1,000,000 rows: what one 100 ms refresh costs the window (the
// list update, the adapter's signals and a repaint of the visible rows) when the adapter
// signals only what changed, beside the obvious adapter that resets the model on every
// refresh. Also the first appearance of a million rows and a repaint alone.
//
// With fixed row heights a reset is not much dearer in time; what it costs is the operator's
// selection, current row and scroll position at every refresh (ListAdapterTest checks that
// ours keeps them).
#include <benchmark/benchmark.h>

#include <QAbstractTableModel>
#include <QApplication>
#include <QHeaderView>
#include <QTableView>
#include <random>
#include <string>

#include "records/TagStore.h"
#include "shell/TagListAdapter.h"
#include "support/TagFrames.h"

namespace {

using trelvane::FrameRecord;
using trelvane::LocalDateTime;
using trelvane::TagListAdapter;
using trelvane::TagListModel;
using trelvane::TagListUpdate;
using trelvane::TagStore;

constexpr std::uint32_t kIds = 1'000'000;
const LocalDateTime kNow{2026, 3, 8, 9, 5, 3};
const std::string kDevices[] = {"R01", "R02", "Gate-A", "Dock 3 reader"};

constexpr auto IdAt = trelvane::test::ScatteredTagId;
constexpr auto SetId = trelvane::test::SetTagId;

// The obvious adapter: every refresh resets the model, so views forget and re-measure all rows.
class ResettingAdapter final : public QAbstractTableModel {
  public:
    explicit ResettingAdapter(const TagListModel& rows) : rows_(rows) {}
    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : shown_;
    }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : TagListModel::kColumns;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || index.row() >= shown_) {
            return {};
        }
        return QString::fromStdString(
            rows_.Cell(static_cast<std::size_t>(index.row()), index.column()));
    }
    void ApplyUpdate(const TagListUpdate&) {
        beginResetModel();
        shown_ = static_cast<int>(rows_.RowCount());
        endResetModel();
    }

  private:
    const TagListModel& rows_;
    int shown_ = 0;
};

struct Window {
    TagStore store;
    TagListModel list;
    QTableView view;
    std::uint64_t nextNew = kIds;
    std::mt19937 random{7};

    Window() {
        view.resize(656, 228);
        view.verticalHeader()->hide();
        view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view.verticalHeader()->setDefaultSectionSize(20);
        view.setSelectionBehavior(QAbstractItemView::SelectRows);
    }

    void Fill() {
        FrameRecord frame = trelvane::test::TagFrame(0);
        for (std::uint32_t i = 0; i < kIds; ++i) {
            SetId(frame, IdAt(i));
            store.RecordRead(kDevices[i % 4], trelvane::DecodeTagReport(frame), kNow);
        }
    }

    // 1,000 reads, 500 of scattered known IDs and 500 new ones.
    void Reads() {
        FrameRecord frame = trelvane::test::TagFrame(0);
        std::uniform_int_distribution<std::uint32_t> known(0, kIds - 1);
        for (int i = 0; i < 1000; ++i) {
            SetId(frame, i % 2 == 0 ? IdAt(known(random)) : IdAt(nextNew++));
            store.RecordRead(kDevices[i % 4], trelvane::DecodeTagReport(frame), kNow);
        }
    }

    void Paint() {
        view.viewport()->repaint();
        QCoreApplication::processEvents();
    }
};

template <typename Adapter>
void RefreshWith(benchmark::State& state) {
    Window w;
    Adapter adapter(w.list);
    w.view.setModel(&adapter);
    w.view.show();
    w.Fill();
    adapter.ApplyUpdate(w.store.RefreshTagList(w.list));
    w.view.scrollTo(adapter.index(kIds / 2, 1));
    w.Paint();
    for (auto _ : state) {
        state.PauseTiming();
        w.Reads();
        state.ResumeTiming();
        adapter.ApplyUpdate(w.store.RefreshTagList(w.list));
        w.Paint();
    }
    state.counters["rows"] = static_cast<double>(w.list.RowCount());
}

// One refresh tick: 1,000 reads shown, signals for the changed rows only, a repaint.
void BM_RefreshSignalledByChange(benchmark::State& state) {
    RefreshWith<TagListAdapter>(state);
}
BENCHMARK(BM_RefreshSignalledByChange)->Unit(benchmark::kMillisecond)->Iterations(50);

// The same tick when the adapter resets the model instead.
void BM_RefreshByModelReset(benchmark::State& state) {
    RefreshWith<ResettingAdapter>(state);
}
BENCHMARK(BM_RefreshByModelReset)->Unit(benchmark::kMillisecond)->Iterations(20);

// A million rows appearing at once (one rowsInserted) and the first paint.
void BM_FirstMillionRows(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto w = std::make_unique<Window>();
        TagListAdapter adapter(w->list);
        w->view.setModel(&adapter);
        w->view.show();
        w->Fill();
        state.ResumeTiming();
        adapter.ApplyUpdate(w->store.RefreshTagList(w->list));
        w->Paint();
        state.PauseTiming();
        w.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FirstMillionRows)->Unit(benchmark::kMillisecond)->Iterations(3);

// Repainting the visible rows of a million-row list, nothing changed.
void BM_RepaintOnly(benchmark::State& state) {
    Window w;
    TagListAdapter adapter(w.list);
    w.view.setModel(&adapter);
    w.view.show();
    w.Fill();
    adapter.ApplyUpdate(w.store.RefreshTagList(w.list));
    w.view.scrollTo(adapter.index(kIds / 2, 1));
    for (auto _ : state) {
        w.Paint();
    }
}
BENCHMARK(BM_RepaintOnly)->Unit(benchmark::kMillisecond)->Iterations(100);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
