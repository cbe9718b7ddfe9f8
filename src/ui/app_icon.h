#pragma once

#include <QPixmap>
#include <filesystem>

namespace tessuro {

// The icon the installer bundle names in its Info.plist (CFBundleIconFile, in
// Contents/Resources, with or without its ".png"), or a built-in one when the bundle names
// none or the file cannot be read.
QPixmap installerIcon(const std::filesystem::path& installerBundle);

// The built-in icon: a blue rounded square with the product's initial.
QPixmap builtInIcon();

// A 256 × 256 rounded square filled with a gradient from `top` to `bottom`, transparent
// around it: the base of the product's icons.
QPixmap iconBase(const QColor& top, const QColor& bottom);

}  // namespace tessuro
