#include "overlay/Markup.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QtMath>

#include <algorithm>

namespace shotlark::overlay {

namespace {

qreal headLength(int width) {
    return std::max<qreal>(14, width * 4.0);
}

qreal counterRadius(int width) {
    return std::max<qreal>(12, width * 3.0);
}

int pixelBlock(int width) {
    return std::max(6, width * 3);
}

QFont markFont(int pixelSize, bool bold) {
    QFont font;
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QFont textFont(const Mark& mark) {
    return markFont(std::max(12, mark.width * 5), true);
}

QRectF spanned(const Mark& mark) {
    return mark.points.size() < 2 ? QRectF()
                                  : QRectF(mark.points.front(), mark.points.back()).normalized();
}

} // namespace

namespace {
const std::pair<Ending, const char*> endingNames[] = {{Ending::upload, "upload"},
                                                      {Ending::copy, "copy"},
                                                      {Ending::save, "save"},
                                                      {Ending::saveAs, "save-as"}};
} // namespace

QString endingName(Ending ending) {
    for (const auto& [known, name] : endingNames) {
        if (known == ending)
            return QLatin1String(name);
    }
    return QString();
}

std::optional<Ending> endingNamed(const QString& name) {
    for (const auto& [known, spelled] : endingNames) {
        if (name == QLatin1String(spelled))
            return known;
    }
    return std::nullopt;
}

QRect Mark::bounds() const {
    if (tool == MarkTool::text)
        return textBox(*this).toAlignedRect().adjusted(-2, -2, 2, 2);
    if (tool == MarkTool::counter && !points.isEmpty()) {
        const qreal r = counterRadius(width) + 2;
        return QRectF(points.front() - QPointF(r, r), QSizeF(2 * r, 2 * r)).toAlignedRect();
    }
    if (points.isEmpty())
        return QRect();
    // Spanned by hand: QRectF's union skips rectangles without an area, which points are.
    qreal left = points.front().x(), right = left, top = points.front().y(), bottom = top;
    for (const QPointF& point : points) {
        left = std::min(left, point.x());
        right = std::max(right, point.x());
        top = std::min(top, point.y());
        bottom = std::max(bottom, point.y());
    }
    const qreal margin = (tool == MarkTool::arrow ? headLength(width) : width * 4.0) + 2;
    return QRectF(QPointF(left - margin, top - margin), QPointF(right + margin, bottom + margin))
        .toAlignedRect();
}

Mark Mark::movedBy(QPointF offset) const {
    Mark moved = *this;
    for (QPointF& point : moved.points)
        point += offset;
    return moved;
}

void Markup::remove(qsizetype at) {
    QList<Mark> next = marks();
    if (at < 0 || at >= next.size())
        return;
    next.removeAt(at);
    push(std::move(next));
}

void Markup::shiftAll(QPointF offset) {
    for (QList<Mark>& state : states_) {
        for (Mark& mark : state)
            mark = mark.movedBy(offset);
    }
}

qsizetype Markup::markAt(QPointF point) const {
    const QList<Mark>& all = marks();
    for (qsizetype i = all.size() - 1; i >= 0; --i) {
        if (QRectF(all[i].bounds()).contains(point))
            return i;
    }
    return -1;
}

void Markup::push(QList<Mark> state) {
    states_.resize(index_ + 1); // what was undone can't be redone after a new change
    states_.append(std::move(state));
    ++index_;
}

void Markup::add(const Mark& mark) {
    QList<Mark> next = marks();
    next.append(mark);
    push(std::move(next));
}

void Markup::replace(qsizetype at, const Mark& mark) {
    QList<Mark> next = marks();
    if (at < 0 || at >= next.size())
        return;
    if (mark.tool == MarkTool::text && mark.text.isEmpty())
        next.removeAt(at);
    else
        next[at] = mark;
    push(std::move(next));
}

void Markup::undo() {
    if (canUndo())
        --index_;
}

void Markup::redo() {
    if (canRedo())
        ++index_;
}

int Markup::nextNumber(const QColor& color, int start) const {
    int last = start - 1;
    for (const Mark& mark : marks()) {
        if (mark.tool == MarkTool::counter && mark.color == color)
            last = std::max(last, mark.number);
    }
    return last + 1;
}

qsizetype Markup::textAt(QPointF point) const {
    const QList<Mark>& all = marks();
    for (qsizetype i = all.size() - 1; i >= 0; --i) {
        if (all[i].tool == MarkTool::text && textBox(all[i]).contains(point))
            return i;
    }
    return -1;
}

QRectF textBox(const Mark& mark) {
    if (mark.points.isEmpty())
        return QRectF();
    const QFontMetricsF metrics(textFont(mark));
    const QString shown = mark.text.isEmpty() ? QStringLiteral(" ") : mark.text;
    return QRectF(mark.points.front(), QSizeF(metrics.horizontalAdvance(shown), metrics.height()));
}

void paintMark(QPainter& painter, const Mark& mark, const QImage& picture) {
    if (mark.points.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(mark.color, mark.width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    const QPointF from = mark.points.front();
    const QPointF to = mark.points.back();
    switch (mark.tool) {
    case MarkTool::arrow: {
        // The shaft ends where the head begins, so the tip stays sharp at any width.
        const QLineF shaft(from, to);
        const qreal length = headLength(mark.width);
        if (shaft.length() > 0.5) {
            const QPointF direction = (to - from) / shaft.length();
            const QPointF normal(-direction.y(), direction.x());
            const QPointF base = to - direction * std::min(length, shaft.length());
            painter.setPen(pen);
            painter.drawLine(from, base);
            const QPolygonF head({to, base + normal * length * 0.5, base - normal * length * 0.5});
            painter.setPen(Qt::NoPen);
            painter.setBrush(mark.color);
            painter.drawPolygon(head);
        }
        break;
    }
    case MarkTool::line:
        painter.setPen(pen);
        painter.drawLine(from, to);
        break;
    case MarkTool::rectangle:
        pen.setJoinStyle(Qt::MiterJoin);
        painter.setPen(pen);
        painter.drawRect(spanned(mark));
        break;
    case MarkTool::ellipse:
        painter.setPen(pen);
        painter.drawEllipse(spanned(mark));
        break;
    case MarkTool::pen:
        painter.setPen(pen);
        if (mark.points.size() == 1)
            painter.drawPoint(from);
        else
            painter.drawPolyline(mark.points.constData(), static_cast<int>(mark.points.size()));
        break;
    case MarkTool::highlighter: {
        // A marker over text: its colour multiplies what is below, so the text stays readable.
        painter.setCompositionMode(QPainter::CompositionMode_Multiply);
        QColor ink = mark.color;
        ink.setAlpha(160);
        painter.setPen(QPen(ink, mark.width * 4, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        painter.drawPolyline(mark.points.constData(), static_cast<int>(mark.points.size()));
        break;
    }
    case MarkTool::text:
        painter.setFont(textFont(mark));
        painter.setPen(mark.color);
        painter.drawText(textBox(mark), Qt::AlignLeft | Qt::AlignVCenter, mark.text);
        break;
    case MarkTool::counter: {
        const qreal r = counterRadius(mark.width);
        painter.setPen(Qt::NoPen);
        painter.setBrush(mark.color);
        painter.drawEllipse(from, r, r);
        painter.setPen(qGray(mark.color.rgb()) > 160 ? Qt::black : Qt::white);
        painter.setFont(markFont(qRound(r * 1.15), true));
        painter.drawText(QRectF(from - QPointF(r, r), QSizeF(2 * r, 2 * r)), Qt::AlignCenter,
                         QString::number(mark.number));
        break;
    }
    case MarkTool::pixelate: {
        // Blocks of the picture's average colours; they can be undone by a determined reader,
        // which the tool's tip says (redaction can't).
        const QRect area = spanned(mark).toAlignedRect().intersected(picture.rect());
        if (area.isEmpty())
            break;
        const int block = pixelBlock(mark.width);
        const QSize small((area.width() + block - 1) / block, (area.height() + block - 1) / block);
        const QImage blocks =
            picture.copy(area)
                .scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .scaled(small * block, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setClipRect(area);
        painter.drawImage(area.topLeft(), blocks);
        break;
    }
    case MarkTool::redact:
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.fillRect(spanned(mark).toAlignedRect(), mark.color);
        break;
    }
    painter.restore();
}

QImage renderMarks(const QImage& picture, const QList<Mark>& marks) {
    // Drawn on the screen's own opaque format: nothing is converted on the way to the PNG.
    QImage out = picture.format() == QImage::Format_RGB32
                     ? picture.copy()
                     : picture.convertToFormat(QImage::Format_RGB32);
    out.setDevicePixelRatio(1);
    QPainter painter(&out);
    for (const Mark& mark : marks)
        paintMark(painter, mark, out);
    painter.end();
    return out;
}

} // namespace shotlark::overlay
