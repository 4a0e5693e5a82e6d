// Draws the panel's nine images. The committed PNGs are this program's output:
//   generate_resources <folder>
// The set shares one look: light line drawings 6 px thick on a transparent
// ground, a green tick badge for a good state and a red cross badge for a bad
// one, so a technician reads the panel from arm's length, also colour-blind.
// Drawings keep clear of the lowest 18 rows of the 128-pixel icons, where the
// screen lays its host and device names over them.

#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QString>
#include <QTextStream>

#include <cmath>

namespace {

const QColor lineOk(236, 238, 234);
const QColor lineKo(150, 154, 150);
const QColor green(78, 186, 58);
const QColor red(214, 40, 40);
const qreal lineWidth = 6.0;

QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

QPen pen(const QColor &c, qreal w = lineWidth)
{
    return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void badge(QPainter &p, bool good)
{
    const QPointF c(104, 24);
    const qreal r = 20;
    p.setPen(QPen(QColor(0, 0, 0), 4));
    p.setBrush(good ? green : red);
    p.drawEllipse(c, r, r);
    p.setPen(pen(Qt::white, 5.5));
    p.setBrush(Qt::NoBrush);
    if (good) {
        QPolygonF tick;
        tick << QPointF(c.x() - 9, c.y() + 1) << QPointF(c.x() - 2.5, c.y() + 8)
             << QPointF(c.x() + 10, c.y() - 7);
        p.drawPolyline(tick);
    } else {
        p.drawLine(QPointF(c.x() - 7.5, c.y() - 7.5), QPointF(c.x() + 7.5, c.y() + 7.5));
        p.drawLine(QPointF(c.x() + 7.5, c.y() - 7.5), QPointF(c.x() - 7.5, c.y() + 7.5));
    }
}

// An amplifier box: rows of electrode inputs, a power lamp and its lead.
QImage headbox(bool plugged)
{
    QImage img = canvas(128, 127);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor line = plugged ? lineOk : lineKo;

    p.setPen(pen(line));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(10, 30, 78, 62), 10, 10);

    p.setPen(Qt::NoPen);
    p.setBrush(line);
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col)
            p.drawEllipse(QPointF(25 + col * 16, 46 + row * 15), 4.2, 4.2);

    p.setBrush(plugged ? green : QColor(90, 92, 90));
    p.drawEllipse(QPointF(80, 40), 3.5, 3.5);

    p.setPen(pen(line));
    p.setBrush(Qt::NoBrush);
    if (plugged) {
        QPainterPath lead(QPointF(88, 70));
        lead.cubicTo(QPointF(104, 70), QPointF(112, 80), QPointF(112, 100));
        p.drawPath(lead);
        p.setBrush(line);
        p.drawRoundedRect(QRectF(105, 96, 14, 10), 2, 2);
    } else {
        // The lead hangs loose with its plug pulled a hand's width away.
        QPainterPath lead(QPointF(88, 70));
        lead.cubicTo(QPointF(98, 70), QPointF(102, 74), QPointF(102, 82));
        p.drawPath(lead);
        p.setBrush(line);
        p.drawRoundedRect(QRectF(96, 82, 12, 8), 2, 2);
    }
    badge(p, plugged);
    return img;
}

// An RJ45 socket seen from the front, with its cable plugged in or pulled out.
QImage network(bool plugged)
{
    QImage img = canvas(128, 128);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor line = plugged ? lineOk : lineKo;

    QPolygonF socket;
    socket << QPointF(14, 44) << QPointF(74, 44) << QPointF(74, 86) << QPointF(58, 86)
           << QPointF(58, 94) << QPointF(30, 94) << QPointF(30, 86) << QPointF(14, 86)
           << QPointF(14, 44);
    p.setPen(pen(line));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(socket);

    p.setPen(pen(line, 3.5));
    for (int i = 0; i < 6; ++i)
        p.drawLine(QPointF(24 + i * 8, 52), QPointF(24 + i * 8, 62));

    p.setPen(pen(line));
    if (plugged) {
        p.drawLine(QPointF(74, 65), QPointF(98, 65));
        QPainterPath cable(QPointF(98, 65));
        cable.cubicTo(QPointF(116, 65), QPointF(116, 85), QPointF(116, 108));
        p.drawPath(cable);
    } else {
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(92, 56, 16, 18), 2, 2);
        QPainterPath cable(QPointF(108, 65));
        cable.cubicTo(QPointF(118, 65), QPointF(118, 85), QPointF(118, 108));
        p.drawPath(cable);
    }
    badge(p, plugged);
    return img;
}

// The acquisition PC: a monitor with a trace on it.
QImage connection(bool connected)
{
    QImage img = canvas(128, 128);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor line = connected ? lineOk : lineKo;

    p.setPen(pen(line));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(12, 34, 86, 58), 6, 6);
    p.drawLine(QPointF(55, 92), QPointF(55, 102));
    p.drawLine(QPointF(38, 104), QPointF(72, 104));

    QPolygonF trace;
    trace << QPointF(22, 66) << QPointF(36, 66) << QPointF(42, 52) << QPointF(50, 80)
          << QPointF(57, 58) << QPointF(62, 66) << QPointF(88, 66);
    p.setPen(pen(connected ? green : QColor(100, 104, 100), 4));
    p.drawPolyline(trace);

    badge(p, connected);
    return img;
}

QImage arrow(bool up)
{
    QImage img = canvas(48, 48);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPolygonF tri;
    if (up)
        tri << QPointF(24, 8) << QPointF(43, 38) << QPointF(5, 38);
    else
        tri << QPointF(24, 40) << QPointF(43, 10) << QPointF(5, 10);
    p.setPen(QPen(QColor(130, 16, 16), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(red);
    p.drawPolygon(tri);
    return img;
}

QImage star()
{
    QImage img = canvas(21, 22);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(10.5, 11.8);
    QPolygonF s;
    for (int i = 0; i < 10; ++i) {
        const qreal r = (i % 2 == 0) ? 10.0 : 4.2;
        const qreal a = -M_PI / 2 + i * M_PI / 5;
        s << QPointF(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
    }
    p.setPen(QPen(QColor(150, 100, 0), 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(255, 196, 30));
    p.drawPolygon(s);
    return img;
}

} // namespace

int main(int argc, char **argv)
{
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: generate_resources <folder>\n";
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists()) {
        err << "no such folder: " << dir.path() << "\n";
        return 1;
    }
    const struct {
        const char *name;
        QImage image;
    } images[] = {
        {"headboxconn.png", headbox(true)},
        {"headboxdisconn.png", headbox(false)},
        {"network_ok.png", network(true)},
        {"network_ko.png", network(false)},
        {"connection_ok.png", connection(true)},
        {"connection_ko.png", connection(false)},
        {"Red up arrow.png", arrow(true)},
        {"Red down arrow.png", arrow(false)},
        {"rate_star_med_on.png", star()},
    };
    for (const auto &i : images) {
        const QString path = dir.filePath(QString::fromLatin1(i.name));
        if (!i.image.save(path, "PNG")) {
            err << "cannot write " << path << "\n";
            return 1;
        }
    }
    return 0;
}
