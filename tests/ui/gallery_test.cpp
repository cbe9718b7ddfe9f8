// The README's pictures, drawn by render-gallery at scale 1 and 2: each shows its state, told
// by the colours only that state has, with the bundle's own icon.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cstdlib>
#include <functional>
#include <string>

#include "temp_dir.h"

namespace tessuro {
namespace {

// How many pixels of the picture pass `is`.
int count(const QImage& image, const std::function<bool(const QColor&)>& is) {
    int found = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            found += is(image.pixelColor(x, y)) ? 1 : 0;
        }
    }
    return found;
}

bool near(const QColor& c, int r, int g, int b, int within = 24) {
    return std::abs(c.red() - r) <= within && std::abs(c.green() - g) <= within &&
           std::abs(c.blue() - b) <= within;
}

struct Expected {
    const char* file;
    bool error, check, prominent, launching, bundleIcon;
};

TEST(Gallery, EachPictureShowsItsState) {
    const std::vector<Expected> pictures = {
        // file                   error  check  button launching icon
        {"ready.png", false, false, false, false, true},
        {"installing.png", false, false, false, false, true},
        {"failed.png", true, false, true, false, true},
        {"failed-user-folder.png", true, false, true, false, true},
        {"installed.png", false, true, true, false, false},
        {"launching.png", false, true, false, true, false},
        {"launch-failed.png", true, true, true, false, false},
        {"long-error.png", true, false, true, false, true},
    };
    test::TempDir dir;
    for (int scale : {1, 2}) {
        const std::string folder = (dir / std::to_string(scale)).string();
        const std::string command = std::string(TESSURO_RENDER_GALLERY) + " --scale " +
                                    std::to_string(scale) + " '" + folder + "' > /dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const int enough = 30 * scale * scale;
        for (const Expected& e : pictures) {
            QImage image(QString::fromStdString(folder + "/" + e.file));
            ASSERT_FALSE(image.isNull()) << e.file;
            const std::string label = std::string(e.file) + " at scale " + std::to_string(scale);
            EXPECT_EQ(image.width(), 400 * scale) << label;
            EXPECT_GE(image.height(), 260 * scale) << label;
            auto shows = [&](const std::function<bool(const QColor&)>& is) {
                return count(image, is) >= enough;
            };
            EXPECT_EQ(shows([](const QColor& c) { return near(c, 0xFF, 0x3B, 0x30, 40); }), e.error)
                << label << ": the red error text";
            EXPECT_EQ(shows([](const QColor& c) { return near(c, 0x34, 0xC7, 0x59); }), e.check)
                << label << ": the green check mark";
            EXPECT_EQ(shows([](const QColor& c) { return near(c, 0x00, 0x7A, 0xFF, 12); }),
                      e.prominent)
                << label << ": an enabled prominent button";
            EXPECT_EQ(shows([](const QColor& c) { return near(c, 0xDC, 0xEB, 0xFD, 6); }),
                      e.launching)
                << label << ": the disabled launch button";
            // The bundle's icon is teal; the built-in one is blue.
            EXPECT_EQ(shows([](const QColor& c) {
                          return c.red() < 80 && c.green() > 110 &&
                                 std::abs(c.green() - c.blue()) < 30;
                      }),
                      e.bundleIcon)
                << label << ": the bundle's icon";
        }
        EXPECT_GT(QImage(QString::fromStdString(folder + "/long-error.png")).height(),
                  QImage(QString::fromStdString(folder + "/failed.png")).height())
            << "a long error makes the window taller";
    }
}

}  // namespace
}  // namespace tessuro
