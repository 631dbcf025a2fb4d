// Feeds arbitrary bytes to the clip reader. It must either return a playable clip that keeps
// within the reader's limits or throw Error BadFileFormat naming the clip; anything else (a
// crash, a read outside the input, another exception, a huge allocation) is a fault.

#include "fuzzcheck.h"
#include "platform/animation/aviclip.h"
#include "platform/errors.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The input as it is, without a copy, so that a read past its end is caught.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString name = QStringLiteral("fuzz.avi");
    try {
        const AviClip clip = AviClip::fromBytes(bytes, name);
        FUZZ_CHECK(!clip.isNull(), "a clip without frames was accepted");
        const QSize frameSize = clip.size();
        FUZZ_CHECK(frameSize.width() >= 1 && frameSize.width() <= AviClip::MaxSide && frameSize.height() >= 1 &&
                       frameSize.height() <= AviClip::MaxSide,
                   QStringLiteral("frame size %1 x %2").arg(frameSize.width()).arg(frameSize.height()));
        FUZZ_CHECK(clip.frameCount() >= 1 && clip.frameCount() <= AviClip::MaxFrames,
                   QStringLiteral("%1 frames").arg(clip.frameCount()));
        FUZZ_CHECK(clip.frameIntervalUs() >= 1 && clip.frameIntervalUs() <= AviClip::MaxFrameIntervalUs,
                   QStringLiteral("frame interval %1 us").arg(clip.frameIntervalUs()));
        FUZZ_CHECK(qint64(clip.frameCount()) * frameSize.width() * frameSize.height() * 4 <= AviClip::MaxDecodedBytes,
                   "the decoded frames exceed the memory limit");
        // Every frame is a complete picture of the clip's size that the player can paint.
        quint32 sum = 0;
        for (int i = 0; i < clip.frameCount(); ++i) {
            const QImage &frame = clip.frame(i);
            FUZZ_CHECK(frame.size() == frameSize && frame.format() == QImage::Format_RGB32,
                       QString::asprintf("frame %d is %d x %d, format %d", i, frame.width(), frame.height(),
                                         int(frame.format())));
            for (int y = 0; y < frame.height(); ++y)
                sum += reinterpret_cast<const QRgb *>(frame.constScanLine(y))[frame.width() - 1];
        }
        (void)sum;
    } catch (const Error &e) {
        FUZZ_CHECK(e.number() == ErrorNumber::BadFileFormat, e.message());
        FUZZ_CHECK(e.description().startsWith(u"Cannot play the clip \"fuzz.avi\": ") && e.description().size() > 34,
                   e.message());
    }
    return 0;
}
