#include "settings-ui/TabIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace trelvane {
namespace {

// Draws on a 16 x 16 grid scaled to `size` pixels.
void DrawServer(QPainter& p) {
    const QColor body(0x3b, 0x5b, 0x8c);
    const QColor face(0xdc, 0xe6, 0xf5);
    for (int unit = 0; unit < 2; ++unit) {
        const QRectF box(1.5, 2.5 + 6.0 * unit, 13.0, 5.0);
        p.setPen(QPen(body, 1.0));
        p.setBrush(face);
        p.drawRoundedRect(box, 1.2, 1.2);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2e, 0xa0, 0x43));  // status light
        p.drawEllipse(QPointF(4.5, box.center().y()), 1.1, 1.1);
        p.setBrush(body);  // vent slots
        for (int slot = 0; slot < 3; ++slot) {
            p.drawRect(QRectF(7.5 + 2.0 * slot, box.top() + 1.5, 1.0, 2.0));
        }
    }
    p.setPen(QPen(body, 1.0));
    p.drawLine(QPointF(8.0, 13.5), QPointF(8.0, 15.0));
    p.drawLine(QPointF(4.0, 15.0), QPointF(12.0, 15.0));
}

void DrawAntenna(QPainter& p) {
    const QColor mast(0x4a, 0x4a, 0x4a);
    const QColor wave(0xd9, 0x6c, 0x1e);
    const QPointF top(8.0, 5.0);
    // Radio waves to either side of the aerial's tip: "((o))".
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(wave, 1.3, Qt::SolidLine, Qt::RoundCap));
    for (const double r : {3.2, 6.0}) {
        const QRectF arc(top.x() - r, top.y() - r, 2 * r, 2 * r);
        p.drawArc(arc, 140 * 16, 80 * 16);  // left
        p.drawArc(arc, -40 * 16, 80 * 16);  // right
    }
    // A tripod mast under the tip.
    p.setPen(QPen(mast, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(top, QPointF(8.0, 15.0));
    p.drawLine(QPointF(8.0, 9.0), QPointF(5.0, 15.0));
    p.drawLine(QPointF(8.0, 9.0), QPointF(11.0, 15.0));
    p.setPen(Qt::NoPen);
    p.setBrush(wave);
    p.drawEllipse(top, 1.7, 1.7);
}

QPixmap Render(TabImage image, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    if (image == TabImage::kServer) {
        DrawServer(p);
    } else {
        DrawAntenna(p);
    }
    return pixmap;
}

}  // namespace

QIcon TabIcon(TabImage image) {
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        icon.addPixmap(Render(image, size));
    }
    return icon;
}

}  // namespace trelvane
