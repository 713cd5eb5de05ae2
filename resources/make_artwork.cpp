// Draws the window's artwork into PNG files: the band behind the results title, the picture
// along the bottom edge, the shield of the administrator command, the program icon and the
// About picture. Run by resources/make-artwork.sh; the PNGs are committed.

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <cstdio>

namespace {

const QColor kBlue(0x33, 0x99, 0xFF);
const QColor kDeepBlue(0x0B, 0x3D, 0x6E);

// Two overlapping lenses: the program's sign, two identical things seen as one.
void drawSign(QPainter& painter, QRectF box, const QColor& colour, qreal pen) {
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal r = box.height() * 0.34;
    const QPointF left(box.center().x() - r * 0.55, box.center().y());
    const QPointF right(box.center().x() + r * 0.55, box.center().y());
    painter.setPen(QPen(colour, pen));
    painter.setBrush(QColor(colour.red(), colour.green(), colour.blue(), 60));
    painter.drawEllipse(left, r, r);
    painter.drawEllipse(right, r, r);
}

bool save(const QImage& image, const QString& folder, const char* name) {
    const QString path = folder + QLatin1Char('/') + QLatin1String(name);
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QImage band() {
    QImage image(753, 20, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 0, 20);
    gradient.setColorAt(0, QColor(0xF4, 0xF7, 0xFB));
    gradient.setColorAt(1, QColor(0xDD, 0xE6, 0xF0));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(QColor(0xC8, 0xD3, 0xDF));
    painter.drawLine(0, 19, 752, 19);
    return image;
}

QImage bottom() {
    QImage image(753, 50, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 0, 50);
    gradient.setColorAt(0, QColor(0xFA, 0xFB, 0xFD));
    gradient.setColorAt(1, QColor(0xE6, 0xEC, 0xF3));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(QColor(0xD5, 0xDD, 0xE6));
    painter.drawLine(0, 0, 752, 0);
    return image;
}

QImage shield(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPainterPath path;
    path.moveTo(s * 0.5, s * 0.04);
    path.lineTo(s * 0.92, s * 0.2);
    path.cubicTo(s * 0.92, s * 0.62, s * 0.75, s * 0.84, s * 0.5, s * 0.97);
    path.cubicTo(s * 0.25, s * 0.84, s * 0.08, s * 0.62, s * 0.08, s * 0.2);
    path.closeSubpath();
    painter.setPen(QPen(QColor(0x1F, 0x3F, 0x7A), s / 16));
    painter.setBrush(QColor(0x2F, 0x6F, 0xD0));
    painter.drawPath(path);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xF2, 0xC2, 0x2E));
    painter.drawRect(QRectF(s * 0.5, s * 0.2, s * 0.3, s * 0.3));
    painter.drawRect(QRectF(s * 0.22, s * 0.5, s * 0.28, s * 0.3));
    return image;
}

QImage icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QRadialGradient gradient(size * 0.35, size * 0.3, size * 0.8);
    gradient.setColorAt(0, QColor(0x4F, 0xA8, 0xFF));
    gradient.setColorAt(1, kDeepBlue);
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(QRectF(0, 0, size, size).adjusted(1, 1, -1, -1), size * 0.2,
                            size * 0.2);
    drawSign(painter, QRectF(0, 0, size, size), Qt::white, size / 16.0);
    return image;
}

QImage about() {
    QImage image(469, 254, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient gradient(0, 0, 469, 254);
    gradient.setColorAt(0, QColor(0x10, 0x1A, 0x2B));
    gradient.setColorAt(1, QColor(0x06, 0x0B, 0x14));
    painter.fillRect(image.rect(), gradient);
    drawSign(painter, QRectF(24, 40, 120, 120), kBlue, 3);

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(40);
    title.setBold(true);
    painter.setFont(title);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(160, 62, 300, 50), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Twinscope"));
    QFont version(QStringLiteral("DejaVu Sans"));
    version.setPixelSize(18);
    painter.setFont(version);
    painter.setPen(kBlue);
    painter.drawText(QRectF(162, 110, 300, 26), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral(TWINSCOPE_VERSION_TEXT));
    QFont small(QStringLiteral("DejaVu Sans"));
    small.setPixelSize(12);
    painter.setFont(small);
    painter.setPen(QColor(0xA8, 0xB4, 0xC6));
    painter.drawText(QRectF(162, 140, 290, 20), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Finds duplicated files, safely and fast."));
    // The maker's web address, under the hot area at (310, 218), 132 x 18.
    QFont link(QStringLiteral("DejaVu Sans"));
    link.setPixelSize(11);
    link.setUnderline(true);
    painter.setFont(link);
    painter.setPen(QColor(0x7F, 0xC1, 0xFF));
    painter.drawText(QRectF(310, 218, 132, 18), Qt::AlignCenter,
                     QStringLiteral("hollowbright.example"));
    return image;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    bool ok = save(band(), folder, "band.png") && save(bottom(), folder, "bottom.png") &&
              save(shield(16), folder, "shield.png") && save(icon(48), folder, "icon-48.png") &&
              save(icon(64), folder, "icon-64.png") && save(icon(256), folder, "icon-256.png") &&
              save(about(), folder, "about.png");
    return ok ? 0 : 1;
}
