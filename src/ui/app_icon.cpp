#include "ui/app_icon.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>

#include "platform/bundle.h"

namespace tessuro {

QPixmap iconBase(const QColor& top, const QColor& bottom) {
    const int side = 256;
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, side);
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(16, 16, side - 32, side - 32), 50, 50);
    return pixmap;
}

QPixmap builtInIcon() {
    QPixmap pixmap = iconBase(QColor(0x4F, 0xA3, 0xFF), QColor(0x0A, 0x5C, 0xD6));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font;
    font.setPixelSize(150);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("T"));
    return pixmap;
}

QPixmap installerIcon(const std::filesystem::path& installerBundle) {
    if (std::optional<std::string> name = bundleInfoString(installerBundle, "CFBundleIconFile")) {
        std::filesystem::path resources = installerBundle / "Contents" / "Resources";
        for (const std::filesystem::path& candidate :
             {resources / *name, resources / (*name + ".png")}) {
            QPixmap pixmap;
            if (!name->empty() && pixmap.load(QString::fromStdString(candidate.string()))) {
                return pixmap;
            }
        }
    }
    return builtInIcon();
}

}  // namespace tessuro
