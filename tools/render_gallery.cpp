// render-gallery: draws the installer window's content in each state of the installation
// and saves one PNG per state into the folder given, for the README; each picture is taken
// once the model and the view have reached the state, never after a fixed time; the last two
// show the focus ring round each kind of button. It shows
// the icon the installer bundle carries. With --scale 2 it draws at twice the resolution,
// as on a high-density screen. With --icon it draws that icon instead.
//
//   render-gallery [--scale FACTOR] OUTPUT_FOLDER
//   render-gallery --icon OUTPUT.png

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "model/installer_model.h"
#include "platform/error.h"
#include "ui/app_icon.h"
#include "ui/installer_view.h"

namespace {

using namespace tessuro;

struct Scenario {
    const char* file;
    std::string failure = {};  // the run fails with this text, if not empty
    bool userFolder = false;
    enum class Launch { None, Pending, Failed } launch = Launch::None;
    bool holdRun = false;  // stop while the run is in progress
    bool start = true;
    // The button that has the keyboard focus, drawn with the focus ring.
    QPushButton* (InstallerView::*focus)() const = nullptr;
};

// Runs the event loop until `reached` holds, then until nothing is left to do: the view
// refreshes and measures itself in tasks of its own after the model changes. Fails after
// ten seconds.
bool waitFor(const std::function<bool()>& reached) {
    QElapsedTimer clock;
    clock.start();
    while (!reached()) {
        if (clock.elapsed() > 10000) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
    }
    return true;
}

QPixmap bundleIcon();

bool render(const Scenario& scenario, const QString& folder, const std::filesystem::path& bundle) {
    std::atomic<bool> release{false};
    InstallerServices services;
    services.installerBundle = bundle;
    services.homeDirectory = [] { return std::filesystem::path("/home/user"); };
    services.runningApplications = [](std::string_view) { return RunningApplications(); };
    services.clock = systemClock();
    services.install = [&](const std::filesystem::path&, const std::filesystem::path& destination,
                           const VerifyOperation&, bool) {
        while (scenario.holdRun && !release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!scenario.failure.empty()) {
            throw installerError(scenario.failure);
        }
        return InstallerTransaction::Result{std::nullopt, HeldBundle{destination, {}, {}}};
    };
    services.verify = [](int, const std::filesystem::path&, codesign::VerificationSession*) {
        return VerifiedBundle();
    };
    services.openApplication = [&](const HeldBundle&, OpenCompletion completion) {
        if (scenario.launch == Scenario::Launch::Failed) {
            completion(Error("Workspace", 4,
                             "找不到可执行文件“/Applications/Tessuro.app/Contents/MacOS/Tessuro”"));
        }
    };
    services.terminateApplication = [] {};
    auto model = InstallerModel::create(std::move(services));

    QWidget window;
    // A window that takes the focus is one that is shown (on the offscreen platform, unseen).
    window.setAttribute(Qt::WA_DontShowOnScreen, scenario.focus == nullptr);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    QSizeF size;
    auto* view = new InstallerView(
        *model, [&](QSizeF s) { size = s; }, bundleIcon(), &window);
    layout->addWidget(view);
    window.show();

    if (scenario.userFolder) {
        model->userFolder.set(true);
    }
    bool reached = true;
    if (scenario.start) {
        model->startInstallation();
        reached = waitFor([&] {
            return scenario.holdRun ? view->statusLabel()->text() == QStringLiteral("正在安装…")
                                    : !model->installing.get();
        });
    }
    if (reached && scenario.launch != Scenario::Launch::None) {
        model->launchInstalledApp();
        reached = waitFor([&] {
            return scenario.launch == Scenario::Launch::Pending ? !view->launchButton()->isEnabled()
                                                                : !view->errorText()->isHidden();
        });
    }
    if (!reached) {
        std::fprintf(stderr, "%s: the state was not reached\n", scenario.file);
        release = true;
        return false;
    }
    window.setFixedSize(static_cast<int>(size.width()), static_cast<int>(size.height()));
    waitFor([&] { return view->size() == window.size(); });
    if (scenario.focus != nullptr) {
        QPushButton* focused = (view->*scenario.focus)();
        window.activateWindow();
        focused->setFocus(Qt::TabFocusReason);
        if (!waitFor([&] { return focused->hasFocus(); })) {
            std::fprintf(stderr, "%s: the button did not take the focus\n", scenario.file);
            release = true;
            return false;
        }
    }
    QPixmap picture = window.grab();
    release = true;
    waitFor([&] { return !model->installing.get(); });
    return picture.save(folder + "/" + scenario.file);
}

// The installer bundle's own icon (the build writes it into the bundle with --icon): a teal
// rounded square with a box and an arrow into it.
QPixmap bundleIcon() {
    QPixmap pixmap = iconBase(QColor(0x2E, 0xC4, 0xB6), QColor(0x0E, 0x7C, 0x86));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 16, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPolyline(
        QPolygonF({QPointF(70, 150), QPointF(70, 196), QPointF(186, 196), QPointF(186, 150)}));
    painter.drawLine(QPointF(128, 56), QPointF(128, 160));
    painter.drawPolyline(QPolygonF({QPointF(92, 124), QPointF(128, 160), QPointF(164, 124)}));
    return pixmap;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 3 && arguments[0] == "--scale") {
        ::setenv("QT_SCALE_FACTOR", arguments[1].c_str(), 1);
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    QApplication app(argc, argv);
    if (arguments.size() == 2 && arguments[0] == "--icon") {
        return bundleIcon().save(QString::fromStdString(arguments[1])) ? 0 : 1;
    }
    if (arguments.size() != 1) {
        std::fprintf(stderr,
                     "usage: render-gallery [--scale FACTOR] OUTPUT_FOLDER | --icon OUTPUT.png\n");
        return 2;
    }
    QString folder = QString::fromStdString(arguments[0]);
    QDir().mkpath(folder);
    // The run checks the payload's presence and build number in this bundle.
    std::filesystem::path bundle = std::filesystem::temp_directory_path() / "render-gallery-bundle";
    std::filesystem::create_directories(bundle / "Contents/Resources/Payload/Tessuro.app");
    std::string longError;
    for (int i = 1; i <= 6; ++i) {
        longError += "无法复制“/Applications/.Tessuro-安装中-8E3B2C1A/Contents/Resources/level" +
                     std::to_string(i) + ".dat”：磁盘空间不足。";
    }
    const std::vector<Scenario> scenarios = {
        {.file = "ready.png", .start = false},
        {.file = "installing.png", .holdRun = true},
        {.file = "failed.png", .failure = "Tessuro仍在运行，请先退出再重试"},
        {.file = "failed-user-folder.png",
         .failure = "安装文件校验未通过，请重新下载安装包",
         .userFolder = true},
        {.file = "installed.png"},
        {.file = "launching.png", .launch = Scenario::Launch::Pending},
        {.file = "launch-failed.png", .launch = Scenario::Launch::Failed},
        {.file = "long-error.png", .failure = longError},
        {.file = "focus-retry.png",
         .failure = "无法写入文件夹“/Applications”：没有访问权限",
         .focus = &InstallerView::retryButton},
        {.file = "focus-alternative.png",
         .failure = "无法写入文件夹“/Applications”：没有访问权限",
         .focus = &InstallerView::alternativeButton},
    };
    for (const Scenario& scenario : scenarios) {
        if (!render(scenario, folder, bundle)) {
            std::fprintf(stderr, "cannot write %s\n", scenario.file);
            return 1;
        }
        std::printf("%s\n", scenario.file);
    }
    return 0;
}
