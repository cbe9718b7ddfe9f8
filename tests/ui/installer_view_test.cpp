// The view in every state of the model: which elements exist, their texts, what is enabled,
// what Return does, and the size it reports.

#include "ui/installer_view.h"

#include <QAccessible>
#include <QBuffer>
#include <QImage>
#include <cmath>

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
    ASSERT_EQ(transaction.destinations().size(), 3u) << "the click started a run";
    EXPECT_EQ(transaction.destinations()[2], home / "Applications/Tessuro.app");
    EXPECT_EQ(shown(),
              (Shown{"icon", "title 安装Tessuro", "error 同名位置不是Tessuro，未替换原文件",
                     "button 重试安装 (default)"}));
}

TEST_F(View, InstalledThenLaunching) {
    const QColor green = kGreen, red = kRed;
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

// WCAG's contrast ratio of two opaque colours.
double contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Texts at least 4.5 : 1 against what lies behind them, control edges and the focus ring at
// least 3 : 1 against what lies beside them.
TEST(Colours, EveryPairIsReadable) {
    struct Row {
        const char* name;
        QColor front, back;
        double least;
    };
    const Row rows[] = {
        {"title and status on the window", kText, kWindowBackground, 4.5},
        {"error text on the window", kRed, kWindowBackground, 4.5},
        {"prominent title on the accent", kOnAccent, kAccent, 4.5},
        {"prominent title pressed", kOnAccent, kAccentPressed, 4.5},
        {"prominent title disabled", kOnAccentDisabled, kAccentDisabled, 4.5},
        {"standard title on its face", kText, kButtonFace, 4.5},
        {"standard title pressed", kText, kButtonFacePressed, 4.5},
        {"prominent button's edge against the window", kAccent, kWindowBackground, 3},
        {"standard button's border against the window", kButtonBorder, kWindowBackground, 3},
        {"focus ring against the window", kFocusRing, kWindowBackground, 3},
        {"focus ring against the accent it replaces", kFocusRing, kAccent, 3},
        {"focus ring against the standard face", kFocusRing, kButtonFace, 3},
    };
    for (const Row& row : rows) {
        EXPECT_GE(contrast(row.front, row.back), row.least)
            << row.name << ": " << row.front.name().toStdString() << " on "
            << row.back.name().toStdString();
    }
    EXPECT_NEAR(contrast(Qt::white, Qt::black), 21, 1e-9) << "the formula itself";
    EXPECT_NEAR(contrast(QColor(0xFF, 0x3B, 0x30), QColor(0xEF, 0xEF, 0xEF)), 3.08, 0.01);
}

// After a failure the shown buttons take the focus in reading order, both ways, and only
// they; Space presses the focused one; Return presses the default one wherever the focus is.
TEST_F(View, TheKeyboardReachesEveryShownButton) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    transaction.outcome = [] { throw installerError("不能写入“/Applications”"); };
    model->startInstallation();
    runToEnd();
    QPushButton* retry = view->retryButton();
    QPushButton* alternative = view->alternativeButton();
    for (QPushButton* b : {retry, alternative}) {
        EXPECT_EQ(b->focusPolicy(), Qt::TabFocus) << b->text().toStdString();
        EXPECT_FALSE(b->autoDefault()) << "Return never presses the focused button";
    }
    // The pixels of a button in the focus ring's colour.
    auto ringPixels = [](QPushButton* b) {
        const QImage image = b->grab().toImage();
        int found = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                found += image.pixelColor(x, y) == kFocusRing;
            }
        }
        return found;
    };
    auto focusAfter = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window.get(),
                        key, modifiers);
        return QApplication::focusWidget();
    };
    EXPECT_EQ(focusAfter(Qt::Key_Tab), retry);
    // The ring shows round the focused button and no other: the prominent one here, the
    // standard one below.
    EXPECT_GT(ringPixels(retry), 2 * retry->width()) << "round the focused prominent button";
    EXPECT_EQ(ringPixels(alternative), 0);
    EXPECT_EQ(focusAfter(Qt::Key_Tab), alternative);
    EXPECT_EQ(focusAfter(Qt::Key_Tab), retry) << "the hidden launch button is skipped";
    EXPECT_EQ(focusAfter(Qt::Key_Backtab), alternative);
    EXPECT_EQ(focusAfter(Qt::Key_Backtab), retry);
    EXPECT_EQ(focusAfter(Qt::Key_Tab, Qt::ShiftModifier), alternative);

    EXPECT_GT(ringPixels(alternative), 2 * alternative->width()) << "round the focused one";
    EXPECT_EQ(ringPixels(retry), 0);
    // The ring alone marks the focus: no tinted box of the style's own inside it, on the
    // white face where the title's grey glyphs are all there is.
    const QImage face = alternative->grab().toImage();
    int tinted = 0;
    for (int y = 3; y < face.height() - 3; ++y) {
        for (int x = 3; x < face.width() - 3; ++x) {
            const QColor c = face.pixelColor(x, y);
            tinted += c.blue() - c.red() > 8;
        }
    }
    EXPECT_EQ(tinted, 0) << "a focus box drawn inside the ring";

    QTest::keyClick(alternative, Qt::Key_Return);
    runToEnd();
    EXPECT_FALSE(model->userFolder.get()) << "Return pressed the alternative";
    EXPECT_EQ(transaction.destinations().size(), 2u) << "Return retries";

    alternative->setFocus();
    QTest::keyClick(alternative, Qt::Key_Space);
    runToEnd();
    EXPECT_TRUE(model->userFolder.get()) << "Space presses the focused button";
    EXPECT_EQ(transaction.destinations().back(), home / "Applications/Tessuro.app");
}

// The pointer gives a button no focus: a click on "重试安装" retries, and after the retry
// fails no button has the focus, so that no ring is drawn for one who never used the keyboard.
TEST_F(View, APointerClickLeavesNoButtonFocused) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    transaction.outcome = [] { throw installerError("不能写入“/Applications”"); };
    model->startInstallation();
    runToEnd();
    QTest::mouseClick(view->retryButton(), Qt::LeftButton);
    EXPECT_EQ(QApplication::focusWidget(), nullptr) << "focused by the click";
    runToEnd();
    EXPECT_EQ(transaction.destinations().size(), 2u) << "the click retried";
    EXPECT_FALSE(view->retryButton()->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), nullptr) << "focused after the failed retry";
}

// A hidden button is disabled, and its action does nothing even when it is pressed anyway
// (through the accessibility interface, say): in every state. Before any run, the hidden
// "重试安装" is the one whose action the model would still take.
TEST_F(View, HiddenButtonsDoNothing) {
    struct Row {
        const char* name;
        std::function<void()> reach;
        std::size_t runs;  // runs started by then
    };
    transaction.outcome = [] {};
    const Row rows[] = {
        {"before any run", [] {}, 0},
        {"before the run ends", [&] { model->startInstallation(); }, 1},
        {"installed into /Applications", [&] { runToEnd(); }, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.reach();
        settle();
        for (QPushButton* b :
             {view->retryButton(), view->alternativeButton(), view->launchButton()}) {
            if (b->isHidden()) {
                EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
                Q_EMIT b->clicked();
            }
        }
        runToEnd();
        EXPECT_FALSE(model->userFolder.get());
        EXPECT_EQ(transaction.destinations().size(), row.runs);
    }
    EXPECT_TRUE(opened.empty()) << "nothing launched by the hidden button";
}

// What a screen reader finds: roles and names, the error's whole text in an alert, and
// nothing that is hidden.
TEST_F(View, ScreenReadersSeeRolesNamesAndOnlyWhatIsShown) {
    auto tree = [&] {
        std::vector<std::string> out;
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(view);
        std::function<void(QAccessibleInterface*, std::string)> walk =
            [&](QAccessibleInterface* node, std::string indent) {
                for (int i = 0; i < node->childCount(); ++i) {
                    QAccessibleInterface* c = node->child(i);
                    out.push_back(indent + std::to_string(c->role()) + " " +
                                  c->text(QAccessible::Name).toStdString());
                    walk(c, indent + "  ");
                }
            };
        walk(root, "");
        return out;
    };
    const std::string label = std::to_string(QAccessible::StaticText) + " ";
    const std::string image = std::to_string(QAccessible::Graphic) + " ";
    const std::string busy = std::to_string(QAccessible::ProgressBar) + " ";
    const std::string alert = std::to_string(QAccessible::AlertMessage) + " ";
    const std::string button = std::to_string(QAccessible::Button) + " ";
    transaction.holdUntilReleased = true;
    model->startInstallation();
    settle();
    EXPECT_EQ(tree(), (Shown{image + "Tessuro", label + "安装Tessuro", label + "正在安装…",
                             busy + "正在安装…"}));
    transaction.outcome = [] { throw installerError("不能写入“/Applications”"); };
    transaction.release();
    runToEnd();
    EXPECT_EQ(tree(),
              (Shown{image + "Tessuro", label + "安装Tessuro", alert + "不能写入“/Applications”",
                     "  " + label + "不能写入“/Applications”", button + "重试安装",
                     button + "改为安装到我的应用程序"}));
    transaction.outcome = [] {};
    model->startInstallation();
    runToEnd();
    EXPECT_EQ(tree(), (Shown{image + "安装成功", label + "安装成功", button + "立即启动"}));
}

// Counts the times a widget is shown: each show is what Qt tells a screen reader.
class ShowCounter : public QObject {
public:
    int shows = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        shows += event->type() == QEvent::Show;
        return false;
    }
};

// An error is announced when it appears, and again when a retry fails with the same words
// (the alert shows afresh), whether the window saw the run in between or not; the text stays.
TEST_F(View, ARetryFailingAgainIsAnnouncedAgain) {
    struct Row {
        const char* name;
        bool failsAtOnce;  // the run fails inside startInstallation, before any refresh
    };
    const Row rows[] = {
        {"the run fails on its own thread", false},
        {"the run fails before the window refreshes (no home folder)", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        InstallerServices s = services();
        if (row.failsAtOnce) {
            s.homeDirectory = []() -> std::filesystem::path {
                throw installerError("找不到个人文件夹");
            };
        }
        transaction.outcome = [] { throw installerError("找不到个人文件夹"); };
        auto failing = InstallerModel::create(std::move(s));
        failing->userFolder.set(true);
        QWidget frame;
        auto* shownView = new InstallerView(
            *failing, [](QSizeF) {}, builtInIcon(), &frame);
        frame.show();
        ShowCounter alert;
        shownView->errorAlert()->installEventFilter(&alert);
        auto run = [&] {
            failing->startInstallation();
            ASSERT_TRUE(QTest::qWaitFor([&] { return !failing->installing.get(); }, 5000));
            settle();
        };
        run();
        EXPECT_EQ(alert.shows, 1) << "announced when it appears";
        settle();
        EXPECT_EQ(alert.shows, 1) << "once";
        run();
        EXPECT_EQ(alert.shows, 2) << "the same error, from the retry, announced again";
        EXPECT_EQ(shownView->errorText()->text().toStdString(), "找不到个人文件夹");
        EXPECT_TRUE(shownView->errorAlert()->isVisible());
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
