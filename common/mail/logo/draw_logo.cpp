// Draws the test-mail logo (307 x 50 PNG) that common/mail/resources/NVLLogo.png holds:
//   QT_QPA_PLATFORM=offscreen vk_draw_logo common/mail/resources/NVLLogo.png
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s output.png\n", argv[0]);
        return 1;
    }

    const QColor blue(0x00, 0x6c, 0xa7);
    const QColor orange(0xf6, 0x89, 0x3a);
    const QColor green(0x41, 0xa6, 0x21);

    QImage image(307, 50, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    // A battery, three bars charged.
    painter.setPen(QPen(blue, 3));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(8.5, 12.5, 44, 25), 4, 4);
    painter.setPen(Qt::NoPen);
    painter.setBrush(blue);
    painter.drawRoundedRect(QRectF(53, 19, 5, 11), 1.5, 1.5);
    painter.setBrush(green);
    for (int bar = 0; bar < 3; ++bar)
        painter.drawRect(QRectF(14 + bar * 12, 18, 9, 14));

    // The name, and a line under it in the second house colour.
    QFont name(QStringLiteral("DejaVu Sans"));
    name.setPixelSize(26);
    name.setBold(true);
    QPainterPath text;
    text.addText(70, 31, name, QStringLiteral("NORVALE"));
    painter.setBrush(blue);
    painter.drawPath(text);

    QFont product(QStringLiteral("DejaVu Sans"));
    product.setPixelSize(11);
    QPainterPath subtitle;
    subtitle.addText(71, 45, product, QStringLiteral("Voltkeep battery reports"));
    painter.setBrush(QColor(0x44, 0x41, 0x41));
    painter.drawPath(subtitle);

    QLinearGradient line(228, 0, 300, 0);
    line.setColorAt(0, orange);
    line.setColorAt(1, QColor(orange.red(), orange.green(), orange.blue(), 0));
    painter.fillRect(QRectF(222, 22, 80, 4), line);
    painter.end();

    return image.save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
