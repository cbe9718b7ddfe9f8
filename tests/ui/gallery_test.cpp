// The README's pictures, drawn by render-gallery at scale 1 and 2: each shows its state, told
// by the colours only that state has, with the bundle's own icon.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstdlib>
#include <functional>

#include "temp_dir.h"

namespace tessuro {
namespace {

using Is = std::function<bool(const QColor&)>;

Is near(int r, int g, int b, int within) {
    return [=](const QColor& c) {
        return std::abs(c.red() - r) <= within && std::abs(c.green() - g) <= within &&
               std::abs(c.blue() - b) <= within;
    };
}

// Whether at least `enough` pixels of the picture pass `is`.
bool shows(const QImage& image, const Is& is, int enough) {
    int found = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            found += is(image.pixelColor(x, y)) ? 1 : 0;
        }
    }
    return found >= enough;
}

TEST(Gallery, EachPictureShowsItsState) {
    const std::vector<std::pair<const char*, Is>> colours = {
        {"the red error text", near(0xFF, 0x3B, 0x30, 40)},
        {"the green check mark", near(0x34, 0xC7, 0x59, 24)},
        {"an enabled prominent button", near(0x00, 0x7A, 0xFF, 12)},
        {"the disabled launch button", near(0xDC, 0xEB, 0xFD, 6)},
        {"the bundle's teal icon (the built-in one is blue)", [](const QColor& c) {
             return c.red() < 80 && c.green() > 110 && std::abs(c.green() - c.blue()) < 30;
         }}};
    const std::vector<std::pair<const char*, std::vector<bool>>> pictures = {
        {"ready.png", {false, false, false, false, true}},
        {"installing.png", {false, false, false, false, true}},
        {"failed.png", {true, false, true, false, true}},
        {"failed-user-folder.png", {true, false, true, false, true}},
        {"installed.png", {false, true, true, false, false}},
        {"launching.png", {false, true, false, true, false}},
        {"launch-failed.png", {true, true, true, false, false}},
        {"long-error.png", {true, false, true, false, true}},
    };
    test::TempDir dir;
    for (int scale : {1, 2}) {
        const std::string folder = (dir / std::to_string(scale)).string();
        const std::string command = std::string(TESSURO_RENDER_GALLERY) + " --scale " +
                                    std::to_string(scale) + " '" + folder + "' > /dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        auto picture = [&](const char* file) {
            return QImage(QString::fromStdString(folder + "/" + file));
        };
        for (const auto& [file, expected] : pictures) {
            SCOPED_TRACE(std::string(file) + " at scale " + std::to_string(scale));
            const QImage image = picture(file);
            ASSERT_FALSE(image.isNull());
            EXPECT_EQ(image.width(), 400 * scale);
            EXPECT_GE(image.height(), 260 * scale);
            for (std::size_t i = 0; i < colours.size(); ++i) {
                EXPECT_EQ(shows(image, colours[i].second, 30 * scale * scale), expected[i])
                    << colours[i].first;
            }
        }
        EXPECT_GT(picture("long-error.png").height(), picture("failed.png").height())
            << "a long error makes the window taller";
    }
}

}  // namespace
}  // namespace tessuro
