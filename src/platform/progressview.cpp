#include "platform/progressview.h"

#include <QTimer>

namespace {

// How often the bar reads the figures the work reports.
constexpr int PollMilliseconds = 25;
// The bar counts in tenths of a percent, so a long run shows movement often.
constexpr int BarRange = 1000;

} // namespace

QString ProgressView::timeLeftText(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

ProgressView::ProgressView(QWidget *parent) : QProgressBar(parent), poll_(new QTimer(this))
{
    setRange(0, BarRange);
    setValue(0);
    setAlignment(Qt::AlignCenter);
    setFormat(QStringLiteral("%p%"));
    poll_->setInterval(PollMilliseconds);
    connect(poll_, &QTimer::timeout, this, &ProgressView::refresh);
}

void ProgressView::start()
{
    counters_->report(0, 0);
    setValue(0);
    setFormat(QStringLiteral("%p%"));
    clock_.start();
    poll_->start();
}

Progress ProgressView::reporter() const
{
    return [counters = counters_](qint64 done, qint64 total) { counters->report(done, total); };
}

void ProgressView::finish(bool completed)
{
    poll_->stop();
    if (completed) {
        setValue(BarRange);
        setFormat(QStringLiteral("%p%"));
    }
}

void ProgressView::refresh()
{
    const qint64 total = counters_->total.load(std::memory_order_relaxed);
    const qint64 done = qMin(counters_->done.load(std::memory_order_relaxed), total);
    if (total <= 0)
        return;
    // Full only once the work is done (finish): the last bytes read are not yet the result put in
    // place, which may still fail.
    setValue(int(qMin<qint64>(done * BarRange / total, BarRange - 1)));
    const double seconds = double(clock_.elapsed()) / 1000.0;
    if (seconds < 0.25 || done <= 0)
        return; // too early for a steady estimate
    const double rate = double(done) / seconds;
    setFormat(QStringLiteral("%p%  %1 MB/s  %2 left")
                  .arg(rate / 1e6, 0, 'f', 0)
                  .arg(timeLeftText(double(total - done) / rate)));
}
