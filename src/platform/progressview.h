#pragma once

#include "platform/progress.h"

#include <QElapsedTimer>
#include <QProgressBar>

#include <atomic>
#include <functional>
#include <memory>

class QTimer;

// The progress bar of a long operation: the share done, the speed and the time left. The work
// reports from any thread (report); the bar reads the latest figures on its own thread a few
// times a second while it runs (between start and finish).
class ProgressView : public QProgressBar {
    Q_OBJECT

public:
    explicit ProgressView(QWidget *parent = nullptr);

    // Begins a run at 0%.
    void start();
    // How much of the work is done, of total (bytes, or any unit counted alike). Thread-safe.
    void report(qint64 done, qint64 total) noexcept { counters_->report(done, total); }
    // The same as a function that stays safe to call after this bar has gone.
    [[nodiscard]] Progress reporter() const;
    // Ends the run: at 100% when it completed.
    void finish(bool completed);
    // The time left as the bar shows it: minutes and seconds, rounded to the second ("62:05").
    [[nodiscard]] static QString timeLeftText(double seconds);

private:
    void refresh();

    QTimer *poll_;
    QElapsedTimer clock_;
    struct Counters {
        std::atomic<qint64> done{0};
        std::atomic<qint64> total{0};
        void report(qint64 d, qint64 t) noexcept
        {
            total.store(t, std::memory_order_relaxed);
            done.store(d, std::memory_order_relaxed);
        }
    };
    std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
};
