#include "mainformparts.h"

#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace arbelon {

QRect fitOnScreens(const QRect &frame, const QList<QRect> &screens)
{
    if (screens.isEmpty() || frame.isEmpty())
        return frame;
    QRect area = screens.first();
    qint64 best = 0;
    for (const QRect &screen : screens) {
        const QRect common = screen.intersected(frame);
        const qint64 overlap = qint64(common.width()) * common.height();
        if (overlap > best) {
            best = overlap;
            area = screen;
        }
    }
    const QSize size = frame.size().boundedTo(area.size());
    if (best == 0) // nowhere near a screen that is there: the middle of the primary one
        return {area.topLeft() + QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2), size};
    const int x = qBound(area.left(), frame.x(), area.left() + area.width() - size.width());
    const int y = qBound(area.top(), frame.y(), area.top() + area.height() - size.height());
    return {QPoint(x, y), size};
}

namespace {

void drawConnect(QPainter &p)
{
    // A plug going into a socket: green.
    p.setPen(QPen(QColor(0x1f, 0x7a, 0x1f), 1.6));
    p.setBrush(QColor(0x4c, 0xc2, 0x4c));
    p.drawRoundedRect(QRectF(1.5, 5.5, 7, 6), 1.5, 1.5);
    p.drawLine(QPointF(8.5, 7), QPointF(12, 7));
    p.drawLine(QPointF(8.5, 10), QPointF(12, 10));
    p.drawLine(QPointF(1.5, 8.5), QPointF(0, 8.5));
    p.setBrush(QColor(0xe0, 0xe0, 0xe0));
    p.setPen(QPen(QColor(0x55, 0x55, 0x55), 1.2));
    p.drawRect(QRectF(12.5, 4.5, 3, 8));
}

void drawDisconnect(QPainter &p)
{
    // A red cross over a broken line.
    p.setPen(QPen(QColor(0x66, 0x66, 0x66), 1.4));
    p.drawLine(QPointF(0.5, 8), QPointF(5, 8));
    p.drawLine(QPointF(11, 8), QPointF(15.5, 8));
    p.setPen(QPen(QColor(0xc8, 0x1e, 0x1e), 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(4.5, 3.5), QPointF(11.5, 12.5));
    p.drawLine(QPointF(11.5, 3.5), QPointF(4.5, 12.5));
}

void drawLeaveRoom(QPainter &p)
{
    // A door with an arrow pointing out of it.
    p.setPen(QPen(QColor(0x6b, 0x45, 0x1c), 1.2));
    p.setBrush(QColor(0xc8, 0x8f, 0x4a));
    p.drawRect(QRectF(1.5, 1.5, 7, 13));
    p.setBrush(QColor(0x3a, 0x2a, 0x10));
    p.drawEllipse(QPointF(7, 8.5), 0.8, 0.8);
    p.setPen(QPen(QColor(0x1a, 0x5f, 0xb4), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(9, 8), QPointF(15, 8));
    p.drawLine(QPointF(12.5, 5.5), QPointF(15, 8));
    p.drawLine(QPointF(12.5, 10.5), QPointF(15, 8));
}

void drawWatchGame(QPainter &p)
{
    // An eye.
    QPainterPath eye;
    eye.moveTo(0.8, 8);
    eye.quadTo(8, 0.5, 15.2, 8);
    eye.quadTo(8, 15.5, 0.8, 8);
    p.setPen(QPen(QColor(0x22, 0x33, 0x55), 1.2));
    p.setBrush(Qt::white);
    p.drawPath(eye);
    p.setBrush(QColor(0x2e, 0x6d, 0xd0));
    p.drawEllipse(QPointF(8, 8), 3.2, 3.2);
    p.setBrush(Qt::black);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(8, 8), 1.4, 1.4);
}

QPixmap drawPicture(ToolPicture which, int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    switch (which) {
    case ToolPicture::Connect: drawConnect(p); break;
    case ToolPicture::Disconnect: drawDisconnect(p); break;
    case ToolPicture::LeaveRoom: drawLeaveRoom(p); break;
    case ToolPicture::WatchGame: drawWatchGame(p); break;
    }
    return pm;
}

} // namespace

QIcon toolIcon(ToolPicture which)
{
    QIcon icon;
    icon.addPixmap(drawPicture(which, 16));
    icon.addPixmap(drawPicture(which, 32));
    return icon;
}

// ---- logo ------------------------------------------------------------------------------

ArbelonLogo::ArbelonLogo(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setMinimumSize(80, 60);
}

void ArbelonLogo::paintEvent(QPaintEvent *)
{
    // Drawn on a 320 by 220 design grid and scaled to fit, centred.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal scale = qMin(width() / 320.0, height() / 220.0);
    p.translate((width() - 320 * scale) / 2, (height() - 220 * scale) / 2);
    p.scale(scale, scale);

    // A relay tower sending waves to the left and right.
    const QColor steel(0x2c, 0x3e, 0x66);
    const QColor signal(0xd9, 0x6a, 0x1e);
    p.setPen(QPen(steel, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(160, 40), QPointF(128, 150));
    p.drawLine(QPointF(160, 40), QPointF(192, 150));
    p.drawLine(QPointF(140, 110), QPointF(180, 110));
    p.drawLine(QPointF(148, 80), QPointF(172, 80));
    p.setBrush(signal);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(160, 36), 9, 9);
    p.setBrush(Qt::NoBrush);
    for (int i = 1; i <= 3; ++i) {
        const qreal r = 20.0 * i + 6;
        QColor c = signal;
        c.setAlphaF(1.0 - 0.25 * (i - 1));
        p.setPen(QPen(c, 5, Qt::SolidLine, Qt::RoundCap));
        const QRectF box(160 - r, 36 - r, 2 * r, 2 * r);
        p.drawArc(box, 150 * 16, 60 * 16); // left
        p.drawArc(box, -30 * 16, 60 * 16); // right
    }

    // The name below.
    QFont f(QStringLiteral("Arial"));
    f.setPixelSize(40);
    f.setBold(true);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    p.setFont(f);
    p.setPen(steel);
    p.drawText(QRectF(0, 158, 320, 52), Qt::AlignCenter, QStringLiteral("ARBELON"));
}

// ---- transfer rate ------------------------------------------------------------------------

RateSpinBox::RateSpinBox(QWidget *parent) : QSpinBox(parent)
{
    // Let fixup() decide what an unusable text becomes, rather than the previous value.
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
}

int RateSpinBox::textValue() const
{
    bool ok = false;
    const int n = cleanText().toInt(&ok);
    return ok ? qBound(minimum(), n, maximum()) : 0;
}

void RateSpinBox::fixup(QString &input) const
{
    bool ok = false;
    input.trimmed().toInt(&ok);
    if (!ok)
        input = QStringLiteral("0");
}

// ---- user list ------------------------------------------------------------------------------

QVariant TitledListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole)
        return m_title;
    return QIdentityProxyModel::headerData(section, orientation, role);
}

} // namespace arbelon
