// qm-bench-window: the window's scan and list, measured through its own commands.
//
//   qm-bench-window IMAGE [REPEAT] [--scan-only]
//
// Opens the main window with IMAGE as its only source and, REPEAT times,
// selects it and presses the scan button, timing press -> last row listed,
// its folder filled in and painted, while a 1 ms timer on the UI thread
// records the longest gap between two of its ticks (the longest the event
// loop was kept from running). Then sorts the list by each column through the
// column-click command, and scrolls it from top to bottom. One "key value"
// line per measurement.
#include <malloc.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/qt/uMain.h"

namespace {

// The longest gap between two ticks of a fast timer on the UI thread.
class StallMeter : public QObject {
public:
    StallMeter() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            const qint64 now = clock_.nsecsElapsed();
            if (last_ >= 0) worst_ = std::max(worst_, now - last_);
            last_ = now;
        });
    }
    void Start() {
        worst_ = 0;
        last_ = -1;
        clock_.start();
        timer_.start();
    }
    double StopMs() {
        timer_.stop();
        return double(worst_) / 1e6;
    }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = -1;
    qint64 worst_ = 0;
};

std::size_t HeapInUse() {
    const auto m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// Lets everything queued run and the window paint.
void Settle(TfMain& w) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    w.ListView1->viewport()->repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fputs("usage: qm-bench-window IMAGE [REPEAT] [--scan-only]\n", stderr);
        return 2;
    }
    const int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    // Only the scans: for profiling them without the sorts and the scrolling.
    const bool scanOnly = argc > 3 && std::string_view(argv[3]) == "--scan-only";

    StartupOptions options;
    options.images.push_back(argv[1]);
    options.fixedDrives = [] { return std::vector<std::string>{}; };
    TfMain window(std::move(options));
    window.showMessage = [](const QString& text) {
        std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    };
    window.resize(1000, 700);
    window.show();
    Settle(window);
    if (window.DriveList->count() == 0) {
        std::fprintf(stderr, "qm-bench-window: %s holds no NTFS volume\n", argv[1]);
        return 1;
    }

    StallMeter stalls;
    for (int r = 0; r < repeat; ++r) {
        const std::size_t heapBefore = HeapInUse();
        QEventLoop loop;
        QObject::connect(&window, &TfMain::ScanEnded, &loop, &QEventLoop::quit);
        window.DriveList->setCurrentRow(0);
        QElapsedTimer t;
        stalls.Start();
        t.start();
        window.btnScanClick();
        loop.exec();
        Settle(window);
        const double seconds = double(t.nsecsElapsed()) / 1e9;
        const double stall = stalls.StopMs();
        const int rows = window.ListView1Model()->Count();
        const double perRow =
            rows ? double(HeapInUse()) - double(heapBefore) : 0;  // first run: the list was empty
        // The folders arrive before the scan's end: the time includes them.
        int withoutFolder = 0;
        for (int row = 0; row < rows; ++row)
            withoutFolder +=
                window.ListView1Model()->Text(row, qm::window::RowStore::kPathColumn).empty();
        std::printf("scan_s %.4f max_stall_ms %.1f rows %d rows_without_folder %d", seconds, stall,
                    rows, withoutFolder);
        if (r == 0 && rows) std::printf(" heap_bytes_per_row %.1f", perRow / rows);
        std::printf("\n");
        std::fflush(stdout);
    }

    if (scanOnly) return 0;

    // Sorting through the column-click command; the last row painted after each.
    double worstSort = 0;
    for (int column = 0; column < qm::gui::ResultModel::kColumns; ++column) {
        QElapsedTimer t;
        t.start();
        window.ListView1ColumnClick(column);
        Settle(window);
        const double s = double(t.nsecsElapsed()) / 1e9;
        worstSort = std::max(worstSort, s);
        std::printf("sort_column_%d_s %.4f\n", column, s);
    }
    std::printf("sort_worst_s %.4f rows %d\n", worstSort, window.ListView1Model()->Count());

    // Scrolling: page by page through the first thousand pages, then to the end.
    QScrollBar* bar = window.ListView1->verticalScrollBar();
    bar->setValue(0);
    Settle(window);
    QElapsedTimer t;
    t.start();
    double worstStep = 0;
    int steps = 0;
    for (; steps < 1000 && bar->value() < bar->maximum(); ++steps) {
        QElapsedTimer step;
        step.start();
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        Settle(window);
        worstStep = std::max(worstStep, double(step.nsecsElapsed()) / 1e6);
    }
    {
        QElapsedTimer step;
        step.start();
        bar->setValue(bar->maximum());
        Settle(window);
        worstStep = std::max(worstStep, double(step.nsecsElapsed()) / 1e6);
    }
    std::printf("scroll_pages %d scroll_s %.4f scroll_worst_step_ms %.1f\n", steps,
                double(t.nsecsElapsed()) / 1e9, worstStep);
    return 0;
}
