#include "platform/zlibtool/zlibtoolctrl.h"

#include "platform/errors.h"
#include "platform/zlibtool/compressionengine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

namespace {

// How often the progress bar reads the worker's byte counter.
constexpr int PollMilliseconds = 25;
// The bar counts in tenths of a percent, so a long file shows movement often.
constexpr int BarRange = 1000;

QString timeLeftText(double seconds)
{
    const qint64 s = qint64(seconds + 0.5);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

// One run of Compress() or Decompress(), shared by the calling thread and the worker thread.
struct ZlibToolCtrl::Job {
    std::atomic<qint64> done{0};
    std::atomic<qint64> total{0};
    std::atomic<bool> finished{false};
    std::exception_ptr error; // set by the worker before it sets finished
    std::thread worker;
    QEventLoop *loop = nullptr; // touched on the calling thread only
    QElapsedTimer clock;
    QString input;
};

ZlibToolCtrl::ZlibToolCtrl(QWidget *parent) : QWidget(parent), bar_(new QProgressBar(this)), poll_(new QTimer(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(bar_);
    bar_->setRange(0, BarRange);
    bar_->setValue(0);
    bar_->setAlignment(Qt::AlignCenter);
    bar_->setFormat(QStringLiteral("%p%"));
    poll_->setInterval(PollMilliseconds);
    connect(poll_, &QTimer::timeout, this, &ZlibToolCtrl::showProgress);
}

ZlibToolCtrl::~ZlibToolCtrl()
{
    if (job_) {
        // Destroyed from an event handled while a call waits: let the call return once the
        // worker has finished, without touching this control again.
        if (job_->loop)
            job_->loop->quit();
        if (job_->worker.joinable())
            job_->worker.join();
    }
}

void ZlibToolCtrl::Compress()
{
    run(Operation::Compress);
}

void ZlibToolCtrl::Decompress()
{
    run(Operation::Decompress);
}

void ZlibToolCtrl::run(Operation operation)
{
    if (job_)
        throw Error(ErrorNumber::InvalidArgument,
                    QStringLiteral("The compression control is still working on ") + quotedPath(job_->input));

    auto job = std::make_shared<Job>();
    job->input = inputFile_;
    QEventLoop loop;
    job->loop = &loop;
    job->clock.start();
    try {
        job->worker = std::thread(&ZlibToolCtrl::work, job, operation, inputFile_, outputFile_);
    } catch (const std::system_error &e) {
        throw Error(e.code().value(), QStringLiteral("Cannot start working on ") + quotedPath(inputFile_) +
                                          QStringLiteral(": ") + QString::fromLocal8Bit(e.what()));
    }
    job_ = job;
    bar_->setValue(0);
    bar_->setFormat(QStringLiteral("%p%"));
    poll_->start();

    // Wait here, synchronously for the caller, while timers and paint events go on. User input
    // stays queued by the window system until the call returns.
    QPointer<ZlibToolCtrl> self(this);
    if (!job->finished.load())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    job->loop = nullptr;
    if (job->worker.joinable())
        job->worker.join();

    if (self) {
        poll_->stop();
        if (!job->error) {
            bar_->setValue(BarRange);
            bar_->setFormat(QStringLiteral("%p%"));
        }
        job_.reset();
    }
    if (job->error)
        std::rethrow_exception(job->error);
}

void ZlibToolCtrl::work(std::shared_ptr<Job> job, Operation operation, QString input, QString output)
{
    try {
        const auto progress = [&job](qint64 done, qint64 total) {
            job->total.store(total, std::memory_order_relaxed);
            job->done.store(done, std::memory_order_relaxed);
        };
        if (operation == Operation::Compress)
            CompressionEngine::compressFile(input, output, progress);
        else
            CompressionEngine::decompressFile(input, output, progress);
    } catch (...) {
        job->error = std::current_exception();
    }
    job->finished.store(true);
    // Wake the waiting call on its own thread.
    QMetaObject::invokeMethod(
        qApp,
        [job] {
            if (job->loop)
                job->loop->quit();
        },
        Qt::QueuedConnection);
}

void ZlibToolCtrl::showProgress()
{
    if (!job_)
        return;
    const qint64 total = job_->total.load(std::memory_order_relaxed);
    const qint64 done = job_->done.load(std::memory_order_relaxed);
    if (total <= 0)
        return;
    bar_->setValue(int(done * BarRange / total));
    const double seconds = double(job_->clock.elapsed()) / 1000.0;
    if (seconds < 0.25 || done <= 0)
        return; // too early for a steady estimate
    const double rate = double(done) / seconds;
    bar_->setFormat(QStringLiteral("%p%  %1 MB/s  %2 left")
                        .arg(rate / 1e6, 0, 'f', 0)
                        .arg(timeLeftText(double(total - done) / rate)));
}
