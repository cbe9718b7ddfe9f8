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

}  // namespace tessuro
