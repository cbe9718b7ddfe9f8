#include "ui/app_icon.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>

#include "platform/bundle.h"

namespace tessuro {

QPixmap builtInIcon() {
    const int side = 256;
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, side);
    fill.setColorAt(0, QColor(0x4F, 0xA3, 0xFF));
    fill.setColorAt(1, QColor(0x0A, 0x5C, 0xD6));
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(16, 16, side - 32, side - 32), 48, 48);
    QFont font;
    font.setPixelSize(150);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, side, side), Qt::AlignCenter, QStringLiteral("T"));
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
