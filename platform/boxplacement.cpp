#include "boxplacement.h"

#include <algorithm>
#include <array>
#include <limits>
#include <tuple>
#include <utility>

namespace {

constexpr int kGap = 8;    // between the window and a box beside it
constexpr int kStep = 16;  // of the search over the screen when no side has room

qint64 overlap(const QRect &a, const QRect &b)
{
    const QRect common = a.intersected(b);
    return common.isEmpty() ? 0 : qint64(common.width()) * common.height();
}

qint64 overlap(const QRect &a, const QList<QRect> &areas)
{
    qint64 total = 0;
    for (const QRect &area : areas)
        total += overlap(a, area);
    return total;
}

// How far apart two rectangles are, 0 when they touch or overlap.
qint64 distance(const QRect &a, const QRect &b)
{
    const qint64 dx = std::max({0, b.left() - a.right(), a.left() - b.right()});
    const qint64 dy = std::max({0, b.top() - a.bottom(), a.top() - b.bottom()});
    return dx * dx + dy * dy;
}

QPoint keptOnScreen(QPoint topLeft, const QSize &box, const QRect &screen)
{
    // A box larger than the screen keeps its top-left corner, where its button and
    // caption are, in sight.
    topLeft.setX(std::max(screen.left(), std::min(topLeft.x(), screen.right() + 1 - box.width())));
    topLeft.setY(std::max(screen.top(), std::min(topLeft.y(), screen.bottom() + 1 - box.height())));
    return topLeft;
}

} // namespace

QPoint placeBox(const BoxPlacement &where, const QSize &box)
{
    const QRect &w = where.window;
    QList<QPoint> candidates; // beside the window; after them, anywhere on the screen
    // Beside the window first, then below, to its left, above; each of those slid along
    // the window's side past the boxes already there.
    const std::array<QPoint, 4> sides {QPoint(w.right() + 1 + kGap, w.top()),
                                       QPoint(w.left(), w.bottom() + 1 + kGap),
                                       QPoint(w.left() - kGap - box.width(), w.top()),
                                       QPoint(w.left(), w.top() - kGap - box.height())};
    for (const QPoint &side : sides) {
        candidates << side;
        const bool vertical = side.x() != w.left();
        for (const QRect &other : where.others) {
            candidates << (vertical ? QPoint(side.x(), other.bottom() + 1 + kGap)
                                    : QPoint(other.right() + 1 + kGap, side.y()));
        }
    }
    const qsizetype besideTheWindow = candidates.size();
    const QRect &s = where.screen;
    for (int y = s.top(); y + box.height() <= s.bottom() + 1; y += kStep) {
        for (int x = s.left(); x + box.width() <= s.right() + 1; x += kStep)
            candidates << QPoint(x, y);
    }

    // What matters, in order: the station's state in sight, the window itself, the
    // other boxes, a place beside the window, then the nearness to it. Ties go to the
    // earlier candidate.
    using Score = std::tuple<qint64, qint64, qint64, bool, qint64>;
    QPoint best = keptOnScreen(candidates.first(), box, s);
    Score bestScore {std::numeric_limits<qint64>::max(), 0, 0, false, 0};
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const QPoint at = keptOnScreen(candidates.at(i), box, s);
        const QRect rect(at, box);
        const Score score {overlap(rect, where.inSight), overlap(rect, w), overlap(rect, where.others),
                           i >= besideTheWindow, distance(rect, w)};
        if (score < bestScore) {
            bestScore = score;
            best = at;
        }
    }
    return best;
}

QRect placeNotice(const QRect &area, const QList<QRect> &inSight, const QSize &notice)
{
    const int width = std::min(notice.width(), area.width());
    const int x = area.left() + (area.width() - width) / 2;
    // The runs of rows a notice of that width can span without covering anything in
    // sight, from the foot of the area up.
    QList<QRect> bands;
    int bottom = -1;
    for (int y = area.bottom(); y >= area.top(); --y) {
        const bool clear = overlap(QRect(x, y, width, 1), inSight) == 0;
        if (clear && bottom < 0)
            bottom = y;
        if (bottom >= 0 && (!clear || y == area.top())) {
            const int top = clear ? y : y + 1;
            bands << QRect(x, top, width, bottom - top + 1);
            bottom = -1;
        }
    }
    for (const QRect &band : std::as_const(bands)) {
        if (band.height() >= notice.height())
            return QRect(x, band.bottom() + 1 - notice.height(), width, notice.height());
    }
    if (bands.isEmpty()) // in sight everywhere: nothing to spare, the top is as good as any
        return QRect(x, area.top(), width, std::min(notice.height(), area.height()));
    return *std::max_element(bands.cbegin(), bands.cend(),
                             [](const QRect &a, const QRect &b) { return a.height() < b.height(); });
}
