#include "ui/app_icon.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>

#include <fcntl.h>

#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace tessuro {
namespace {

constexpr std::size_t kMaxIconSize = 16u << 20;

}  // namespace

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
    std::optional<std::string> name = bundleInfoString(installerBundle, "CFBundleIconFile");
    if (name && !name->empty() && name->find('/') == std::string::npos) {
        // Read as every file of a bundle is, never by Qt from the name: a FIFO there must
        // not stall the window's thread.
        UniqueFd bundle(::open(installerBundle.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        for (const std::string& file : {*name, *name + ".png"}) {
            try {
                std::string data = readFileContentsAt(
                    bundle.get(), std::filesystem::path("Contents/Resources") / file, kMaxIconSize);
                QPixmap pixmap;
                if (pixmap.loadFromData(reinterpret_cast<const uchar*>(data.data()),
                                        static_cast<uint>(data.size()))) {
                    return pixmap;
                }
            } catch (const Error&) {
                // The next name, or the built-in icon.
            }
        }
    }
    return builtInIcon();
}

}  // namespace tessuro
