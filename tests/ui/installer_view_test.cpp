// The view in every state of the model: which elements exist, their texts, what is enabled,
// what Return does, and the size it reports.

#include "ui/installer_view.h"

#include <QBuffer>
#include <QImage>

#include "model_fakes.h"
#include "platform/error.h"
#include "ui/app_icon.h"

namespace tessuro {
namespace {

class View : public test::ModelFixture {
protected:
    std::shared_ptr<InstallerModel> model;
    std::unique_ptr<QWidget> window;
    InstallerView* view = nullptr;
    std::vector<QSizeF> reports;

    void SetUp() override {
        ModelFixture::SetUp();
        model = makeModel();
        window = std::make_unique<QWidget>();
        view = new InstallerView(
            *model, [this](QSizeF size) { reports.push_back(size); }, builtInIcon(), window.get());
        window->show();
    }

    // Lets the queued refresh run.
    static void settle() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
    }

    void runToEnd() {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 5000));
        settle();
    }

    // The elements shown, top to bottom, with their texts.
    std::vector<std::string> shown() const {
        std::vector<std::string> out;
        auto add = [&](QWidget* w, const std::string& what) {
            if (!w->isHidden()) {
                out.push_back(what);
            }
        };
        add(view->iconView(), "icon");
        add(view->checkMark(), "check");
        add(view->titleLabel(), "title " + view->titleLabel()->text().toStdString());
        add(view->statusLabel(), "status " + view->statusLabel()->text().toStdString());
        add(view->spinner(), "spinner");
        add(view->errorText(), "error " + view->errorText()->text().toStdString());
        auto button = [&](QPushButton* b) {
            add(b, "button " + b->text().toStdString() + (b->isEnabled() ? "" : " (disabled)") +
                       (b == view->activeDefaultButton() ? " (default)" : ""));
        };
        button(view->retryButton());
        button(view->alternativeButton());
        button(view->launchButton());
        return out;
    }

    // How many pixels of the window, as drawn, lie within `within` of the colour.
    int pixelsNear(QColor colour, int within) const {
        const QImage image = view->grab().toImage();
        int found = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                found += std::abs(c.red() - colour.red()) <= within &&
                         std::abs(c.green() - colour.green()) <= within &&
                         std::abs(c.blue() - colour.blue()) <= within;
            }
        }
        return found;
    }

    void pressReturn() {
        QTest::keyClick(window.get(), Qt::Key_Return);
        settle();
    }
};

using Shown = std::vector<std::string>;

TEST_F(View, BeforeAndDuringTheRun) {
    EXPECT_EQ(shown(), (Shown{"icon", "title 安装Tessuro", "status 正在准备安装…", "spinner"}));
    EXPECT_EQ(view->iconView()->size(), QSize(64, 64)) << "stretched to 64 × 64 points";
    pressReturn();
    EXPECT_FALSE(model->installing.get()) << "Return does nothing before the first failure";

    transaction.holdUntilReleased = true;
    model->startInstallation();
    settle();
    EXPECT_EQ(shown(), (Shown{"icon", "title 安装Tessuro", "status 正在安装…", "spinner"}));
    pressReturn();
    transaction.release();
    runToEnd();
    EXPECT_EQ(transaction.destinations().size(), 1u);
}

TEST_F(View, AFailureOffersRetryAndTheAlternativeOnce) {
    transaction.outcome = [] { throw installerError("同名位置不是Tessuro，未替换原文件"); };
    model->startInstallation();
    runToEnd();
    EXPECT_EQ(shown(),
              (Shown{"icon", "title 安装Tessuro", "error 同名位置不是Tessuro，未替换原文件",
                     "button 重试安装 (default)", "button 改为安装到我的应用程序"}));

    pressReturn();
    runToEnd();
    EXPECT_EQ(transaction.destinations().size(), 2u) << "Return retries";
    EXPECT_FALSE(model->userFolder.get()) << "Return never presses the alternative";

    // The alternative switches the folder before its run starts, and is gone afterwards.
    QTest::mouseClick(view->alternativeButton(), Qt::LeftButton);
    EXPECT_TRUE(model->userFolder.get());
    runToEnd();
    EXPECT_EQ(transaction.destinations()[2], home / "Applications/Tessuro.app");
    EXPECT_EQ(shown(),
              (Shown{"icon", "title 安装Tessuro", "error 同名位置不是Tessuro，未替换原文件",
                     "button 重试安装 (default)"}));
}

TEST_F(View, InstalledThenLaunching) {
    const QColor green(0x34, 0xC7, 0x59), red(0xFF, 0x3B, 0x30);
    model->startInstallation();
    runToEnd();
    EXPECT_EQ(shown(), (Shown{"check", "title 安装成功", "button 立即启动 (default)"}));
    EXPECT_GT(pixelsNear(green, 24), 200) << "the check mark is green";

    pressReturn();
    EXPECT_EQ(shown(), (Shown{"check", "title 安装成功", "button 正在启动… (disabled)"}));
    completeOpen(Error("Workspace", 4, "找不到可执行文件“/x”"));
    settle();
    EXPECT_EQ(shown(),
              (Shown{"check", "title 安装成功", "error 已安装，但启动失败：找不到可执行文件“/x”",
                     "button 立即启动 (default)"}));
    EXPECT_GT(pixelsNear(red, 40), 30) << "the error is red";
}

// An error is shown verbatim, wrapped at 340 even without a break opportunity. Chinese is
// drawn with its Simplified forms whatever the locale, and Latin text with the same face, so
// that weights match: every text resolves to that one family.
TEST_F(View, TextsAreVerbatimWrappedAndInTheSimplifiedChineseFace) {
    const std::string literal = "**粗体** `code` 100% %s <b>x</b> & y &amp; \\n";
    transaction.outcome = [&] { throw Error("POSIX", 5, literal); };
    model->startInstallation();
    runToEnd();
    EXPECT_EQ(view->errorText()->text().toStdString(), literal);
    EXPECT_EQ(view->errorText()->lineCount(), 1);
    for (QWidget* text : std::initializer_list<QWidget*>{
             view->titleLabel(), view->statusLabel(), view->errorText(), view->retryButton(),
             view->alternativeButton(), view->launchButton()}) {
        EXPECT_EQ(QFontInfo(text->font()).family(), "Noto Sans CJK SC")
            << text->metaObject()->className();
    }
    EXPECT_EQ(QFontInfo(view->titleLabel()->font()).pixelSize(), 23);
    EXPECT_EQ(QFontInfo(view->alternativeButton()->font()).pixelSize(), 11);

    transaction.outcome = [&] { throw Error("POSIX", 5, std::string(400, 'x')); };
    model->startInstallation();
    runToEnd();
    EXPECT_LE(view->errorText()->width(), 340);
    EXPECT_GT(view->errorText()->width(), 300);
    EXPECT_GT(view->errorText()->lineCount(), 6);
}

TEST_F(View, ReportsItsSizeOnlyWhenItChanges) {
    EXPECT_EQ(reports, std::vector<QSizeF>{QSizeF(400, 260)}) << "at once: the minimum height";

    transaction.holdUntilReleased = true;
    model->startInstallation();
    settle();
    EXPECT_EQ(reports.size(), 1u) << "正在准备安装… to 正在安装… keeps the size";

    std::string longError;
    for (int i = 0; i < 40; ++i) {
        longError += "无法复制“/Applications/.Tessuro-安装中-0000/Contents/file”：磁盘空间不足。";
    }
    transaction.outcome = [&] { throw Error("POSIX", 28, longError); };
    transaction.release();
    runToEnd();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].width(), 400);
    EXPECT_GT(reports[1].height(), 400) << "a long wrapped error makes the view taller";
    EXPECT_EQ(reports[1], view->measuredSize());

    transaction.outcome = [] {};
    model->startInstallation();
    runToEnd();
    EXPECT_EQ(reports.back(), QSizeF(400, 260));
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_NE(reports[i], reports[i - 1]) << "an equal size is never reported twice";
    }
}

// The icon the installer bundle names, with or without ".png", read without blocking; a
// name with a path, a file that is no picture, or a FIFO give the built-in icon, whole.
TEST(InstallerIcon, TheBundlesOwnIconOrTheBuiltInOne) {
    test::TempDir dir;
    const QColor teal(0, 128, 128);
    QImage picture(16, 16, QImage::Format_RGB32);
    picture.fill(teal);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    const std::pair<const char*, bool> cases[] = {{"Icon", true},
                                                  {"Icon.png", true},
                                                  {"../../Resources/Icon.png", false},
                                                  {"Garbage", false},
                                                  {"Fifo", false}};
    int index = 0;
    for (const auto& [name, own] : cases) {
        const std::filesystem::path bundle = dir / ("B" + std::to_string(index++) + ".app");
        test::writeInfoPlist(bundle, {{"CFBundleIconFile", name}});
        for (const char* at : {"Contents/Resources/Icon.png", "Resources/Icon.png"}) {
            test::writeFile(bundle / at, png.toStdString());
        }
        test::writeFile(bundle / "Contents/Resources/Garbage", "not a picture");
        test::makeFifo(bundle / "Contents/Resources/Fifo");
        QImage icon;
        EXPECT_TRUE(test::endsWithin(2, bundle / "Contents/Resources/Fifo",
                                     [&] { icon = installerIcon(bundle).toImage(); }));
        const QImage expected = own ? picture : builtInIcon().toImage();
        EXPECT_TRUE(icon.convertToFormat(QImage::Format_ARGB32) ==
                    expected.convertToFormat(QImage::Format_ARGB32))
            << name;
    }
}

}  // namespace
}  // namespace tessuro
