// Draws Trelvane's icons: the program icon and the toolbar buttons. Run once and commit the
// PNGs beside this file; the build only embeds them.
//
//   g++ -std=c++20 -fPIC make_icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make_icons
//   QT_QPA_PLATFORM=offscreen /tmp/make_icons res/icons
//
// Every figure is drawn on an 18 x 18 grid (toolbar) or a 64 x 64 grid (program icon) and
// scaled, so the 36-pixel toolbar images and the large program icons stay sharp.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

using Draw = std::function<void(QPainter&)>;

QImage Render(int size, double grid, const Draw& draw) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / grid, size / grid);
    draw(p);
    return image;
}

QBrush Ball(const QColor& light, const QColor& dark, QPointF centre, double radius) {
    QRadialGradient g(centre - QPointF(radius * 0.35, radius * 0.45), radius * 1.3);
    g.setColorAt(0, light);
    g.setColorAt(1, dark);
    return g;
}

void Disc(QPainter& p, const QColor& light, const QColor& dark) {
    p.setPen(QPen(dark.darker(140), 0.8));
    p.setBrush(Ball(light, dark, {9, 9}, 7.6));
    p.drawEllipse(QPointF(9, 9), 7.6, 7.6);
}

void StartService(QPainter& p) {
    Disc(p, QColor(0x8C, 0xE0, 0x7A), QColor(0x23, 0x8B, 0x2E));
    QPainterPath play;
    play.moveTo(7.0, 5.2);
    play.lineTo(13.0, 9.0);
    play.lineTo(7.0, 12.8);
    play.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(play);
}

void StopService(QPainter& p) {
    Disc(p, QColor(0xF4, 0x8A, 0x7E), QColor(0xB3, 0x22, 0x1C));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(5.8, 5.8, 6.4, 6.4), 0.8, 0.8);
}

void Disconnect(QPainter& p) {
    // A cable whose two plugs are pulled apart, with a spark gap between them.
    const QColor metal(0x5A, 0x67, 0x78);
    p.setPen(QPen(QColor(0x36, 0x40, 0x4D), 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(1.2, 12.5), QPointF(4.2, 9.5));
    p.drawLine(QPointF(13.8, 8.5), QPointF(16.8, 5.5));
    p.setPen(QPen(metal.darker(150), 0.7));
    p.setBrush(metal);
    p.save();
    p.translate(6.0, 7.8);
    p.rotate(-45);
    p.drawRoundedRect(QRectF(-2.6, -2.0, 4.6, 4.0), 0.8, 0.8);
    p.restore();
    p.save();
    p.translate(12.0, 10.2);
    p.rotate(-45);
    p.drawRoundedRect(QRectF(-2.0, -2.0, 4.6, 4.0), 0.8, 0.8);
    p.restore();
    p.setPen(QPen(QColor(0xD8, 0x3A, 0x2E), 1.3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(7.4, 3.6), QPointF(8.4, 5.6));
    p.drawLine(QPointF(9.7, 12.4), QPointF(10.6, 14.4));
    p.drawLine(QPointF(5.2, 13.4), QPointF(7.0, 12.0));
    p.drawLine(QPointF(11.0, 6.0), QPointF(12.8, 4.6));
}

void RefreshId(QPainter& p) {
    const QColor blue(0x1F, 0x6F, 0xC9);
    p.setPen(QPen(blue, 2.0, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    const QRectF ring(3.5, 3.5, 11, 11);
    p.drawArc(ring, 30 * 16, 150 * 16);
    p.drawArc(ring, 210 * 16, 150 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(blue);
    QPainterPath head1;
    head1.moveTo(14.8, 2.8);
    head1.lineTo(15.2, 8.6);
    head1.lineTo(10.2, 6.4);
    head1.closeSubpath();
    p.drawPath(head1);
    QPainterPath head2;
    head2.moveTo(3.2, 15.2);
    head2.lineTo(2.8, 9.4);
    head2.lineTo(7.8, 11.6);
    head2.closeSubpath();
    p.drawPath(head2);
}

void ServiceConfig(QPainter& p) {
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const double a0 = (i - 0.5) * M_PI / teeth;
        const double a1 = (i + 0.5) * M_PI / teeth;
        const double r = (i % 2 == 0) ? 8.0 : 6.2;
        const QPointF from(9 + r * std::cos(a0), 9 + r * std::sin(a0));
        const QPointF to(9 + r * std::cos(a1), 9 + r * std::sin(a1));
        if (i == 0) {
            gear.moveTo(from);
        } else {
            gear.lineTo(from);
        }
        gear.lineTo(to);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(QPointF(9, 9), 2.6, 2.6);
    gear = gear.subtracted(hole);
    QLinearGradient g(0, 0, 18, 18);
    g.setColorAt(0, QColor(0xA9, 0xB6, 0xC4));
    g.setColorAt(1, QColor(0x4B, 0x58, 0x68));
    p.setPen(QPen(QColor(0x33, 0x3D, 0x49), 0.7));
    p.setBrush(g);
    p.drawPath(gear);
}

void DeviceInfo(QPainter& p) {
    // A reader: a panel with an antenna and a status lamp, and an information badge.
    QLinearGradient body(0, 4, 0, 16);
    body.setColorAt(0, QColor(0xEE, 0xF1, 0xF4));
    body.setColorAt(1, QColor(0xB8, 0xC1, 0xCB));
    p.setPen(QPen(QColor(0x4A, 0x55, 0x62), 0.9));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(1.5, 5.5, 11, 10), 1.4, 1.4);
    p.drawLine(QPointF(4.0, 5.5), QPointF(4.0, 1.8));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2F, 0xA8, 0x3C));
    p.drawEllipse(QPointF(4.5, 12.6), 1.1, 1.1);
    p.setBrush(QColor(0x4A, 0x55, 0x62));
    p.drawRect(QRectF(3.5, 8.0, 7, 1.2));
    p.setPen(QPen(QColor(0x12, 0x4E, 0x9A), 0.8));
    p.setBrush(Ball(QColor(0x7F, 0xB5, 0xF5), QColor(0x1B, 0x5F, 0xC0), {13, 12}, 4.6));
    p.drawEllipse(QPointF(13, 12.2), 4.6, 4.6);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(13, 9.9), 0.85, 0.85);
    p.drawRoundedRect(QRectF(12.2, 11.2, 1.6, 4.0), 0.5, 0.5);
}

void Exit(QPainter& p) {
    // An open door and an arrow leaving through it.
    p.setPen(QPen(QColor(0x5B, 0x3A, 0x1E), 0.9));
    p.setBrush(QColor(0xE8, 0xE2, 0xD6));
    p.drawRect(QRectF(2.0, 1.8, 8.5, 14.4));
    QPainterPath door;
    door.moveTo(2.0, 1.8);
    door.lineTo(7.2, 3.4);
    door.lineTo(7.2, 17.0);
    door.lineTo(2.0, 16.2);
    door.closeSubpath();
    QLinearGradient wood(2, 0, 8, 0);
    wood.setColorAt(0, QColor(0xB9, 0x7A, 0x3F));
    wood.setColorAt(1, QColor(0x8A, 0x53, 0x24));
    p.setBrush(wood);
    p.drawPath(door);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF2, 0xC9, 0x4C));
    p.drawEllipse(QPointF(6.0, 9.6), 0.7, 0.7);
    const QColor green(0x23, 0x8B, 0x2E);
    p.setPen(QPen(green, 2.0, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(9.0, 9.0), QPointF(13.6, 9.0));
    p.setPen(Qt::NoPen);
    p.setBrush(green);
    QPainterPath head;
    head.moveTo(17.2, 9.0);
    head.lineTo(13.0, 5.4);
    head.lineTo(13.0, 12.6);
    head.closeSubpath();
    p.drawPath(head);
}

void About(QPainter& p) {
    Disc(p, QColor(0x8F, 0xC1, 0xF7), QColor(0x1B, 0x5F, 0xC0));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(12);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 0.6, 18, 18), Qt::AlignCenter, QStringLiteral("?"));
}

void History(QPainter& p) {
    // A list of records behind a clock face: the reads kept over time.
    QLinearGradient sheet(0, 1, 0, 16);
    sheet.setColorAt(0, QColor(0xFF, 0xFF, 0xFF));
    sheet.setColorAt(1, QColor(0xDD, 0xE3, 0xEA));
    p.setPen(QPen(QColor(0x4A, 0x55, 0x62), 0.9));
    p.setBrush(sheet);
    p.drawRoundedRect(QRectF(1.5, 1.5, 11, 14), 1.2, 1.2);
    p.setPen(QPen(QColor(0x6F, 0x7C, 0x8A), 1.0, Qt::SolidLine, Qt::FlatCap));
    for (const double y : {4.5, 7.0, 9.5, 12.0}) {
        p.drawLine(QPointF(3.5, y), QPointF(y > 8 ? 7.0 : 10.5, y));
    }
    p.setPen(QPen(QColor(0x7A, 0x4A, 0x0E), 0.8));
    p.setBrush(Ball(QColor(0xFF, 0xE0, 0x8A), QColor(0xE0, 0x8E, 0x12), {12.5, 12.5}, 5.0));
    p.drawEllipse(QPointF(12.5, 12.5), 5.0, 5.0);
    p.setPen(QPen(QColor(0x3B, 0x25, 0x06), 1.1, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(12.5, 12.5), QPointF(12.5, 9.2));
    p.drawLine(QPointF(12.5, 12.5), QPointF(14.9, 13.8));
}

// The program icon: a reader's antenna paddle sending waves to a tag, on a teal tile.
void ProgramIcon(QPainter& p) {
    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, QColor(0x1F, 0x9E, 0x9A));
    tile.setColorAt(1, QColor(0x0B, 0x52, 0x66));
    p.setPen(QPen(QColor(0x07, 0x3A, 0x48), 1.2));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // Reader: a paddle on a short mast.
    p.setPen(QPen(QColor(0x0A, 0x2A, 0x33), 1.2));
    QLinearGradient paddle(0, 14, 0, 44);
    paddle.setColorAt(0, QColor(0xFF, 0xFF, 0xFF));
    paddle.setColorAt(1, QColor(0xC9, 0xD6, 0xDC));
    p.setBrush(paddle);
    p.drawRoundedRect(QRectF(9, 15, 15, 26), 3, 3);
    p.setBrush(QColor(0x0A, 0x2A, 0x33));
    p.drawRect(QRectF(14.5, 41, 4, 9));
    p.drawRoundedRect(QRectF(9, 49, 15, 4), 1.5, 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2F, 0xC0, 0x4A));
    p.drawEllipse(QPointF(16.5, 35), 2.2, 2.2);

    // Waves.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        const double r = 9.0 + i * 7.0;
        QColor wave(0xFF, 0xD6, 0x4A);
        wave.setAlphaF(1.0 - i * 0.22);
        p.setPen(QPen(wave, 3.2, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(24 - r, 28 - r, 2 * r, 2 * r), -40 * 16, 80 * 16);
    }

    // Tag: a card with a chip.
    p.save();
    p.translate(49, 41);
    p.rotate(-12);
    p.setPen(QPen(QColor(0x0A, 0x2A, 0x33), 1.0));
    p.setBrush(QColor(0xFF, 0xFF, 0xFF));
    p.drawRoundedRect(QRectF(-8, -11, 16, 22), 2.5, 2.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xE0, 0x9A, 0x22));
    p.drawRoundedRect(QRectF(-3.5, -3.5, 7, 7), 1.2, 1.2);
    p.setPen(QPen(QColor(0xE0, 0x9A, 0x22), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(-6, -8.5, 12, 17), 2, 2);
    p.restore();
}

bool Save(const QImage& image, const QString& path) {
    if (!image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    const std::pair<const char*, Draw> buttons[] = {
        {"start-service", StartService},
        {"stop-service", StopService},
        {"disconnect", Disconnect},
        {"refresh-id", RefreshId},
        {"service-config", ServiceConfig},
        {"device-info", DeviceInfo},
        {"exit", Exit},
        {"about", About},
        {"history", History},
    };
    bool ok = true;
    for (const auto& [name, draw] : buttons) {
        for (const int size : {18, 36}) {
            ok &=
                Save(Render(size, 18, draw),
                     out.filePath(QStringLiteral("%1-%2.png").arg(QLatin1String(name)).arg(size)));
        }
    }
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        ok &= Save(Render(size, 64, ProgramIcon),
                   out.filePath(QStringLiteral("trelvane-%1.png").arg(size)));
    }
    return ok ? 0 : 1;
}
