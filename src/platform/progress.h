#pragma once

#include <QtGlobal>

#include <functional>

// How far a piece of work has come: done of total, in units of the work's choice (bytes, pages,
// b-tree entries), called on the thread the work runs on. Every long piece of work reports so.
using Progress = std::function<void(qint64 done, qint64 total)>;

// done of total as a part of range (a part of the bar that counts in other units); 0 when total is
// not known. Exact for any sizes of files.
inline qint64 shareOf(qint64 done, qint64 total, qint64 range)
{
    return total > 0 ? qint64(static_cast<__int128>(done) * range / total) : 0;
}

// The progress of one phase of a larger piece of work, reported to whole: the phase's done of its
// own total is shown as the stretch [from, from + span) of wholeTotal.
inline Progress phaseOf(const Progress &whole, qint64 from, qint64 span, qint64 wholeTotal)
{
    if (!whole)
        return {};
    return [=](qint64 done, qint64 total) { whole(from + shareOf(done, total, span), wholeTotal); };
}

// The progress of phase index of count phases of equal size, whose size is the total each reports.
inline Progress phaseOf(const Progress &whole, int index, int count)
{
    if (!whole)
        return {};
    return [=](qint64 done, qint64 total) { whole(index * total + done, count * total); };
}
