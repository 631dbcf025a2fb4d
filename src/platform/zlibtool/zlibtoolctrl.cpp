#include "platform/zlibtool/zlibtoolctrl.h"

#include "platform/background.h"
#include "platform/errors.h"
#include "platform/progressview.h"
#include "platform/zlibtool/compressionengine.h"

#include <QHBoxLayout>
#include <QPointer>

ZlibToolCtrl::ZlibToolCtrl(QWidget *parent) : QWidget(parent), bar_(new ProgressView(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(bar_);
}

void ZlibToolCtrl::Compress()
{
    run(true);
}

void ZlibToolCtrl::Decompress()
{
    run(false);
}

void ZlibToolCtrl::run(bool compress)
{
    if (busy_)
        throw Error(ErrorNumber::InvalidArgument,
                    QStringLiteral("The compression control is still working on ") + quotedPath(inputFile_));
    const QString input = inputFile_, output = outputFile_;
    busy_ = true;
    bar_->start();
    // The control may be destroyed by an event handled while the work runs.
    const QPointer<ZlibToolCtrl> self(this);
    const auto done = [&](bool completed) {
        if (self) {
            bar_->finish(completed);
            busy_ = false;
        }
    };
    try {
        Background::run([&, progress = bar_->reporter()] {
            if (compress)
                CompressionEngine::compressFile(input, output, progress);
            else
                CompressionEngine::decompressFile(input, output, progress);
        });
    } catch (...) {
        done(false);
        throw;
    }
    done(true);
}
