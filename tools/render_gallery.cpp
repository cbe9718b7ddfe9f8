// render-gallery: draws the installer window's content in each state of the installation
// and saves one PNG per state into the folder given, for the README. With --icon it draws
// the icon the installer bundle carries instead.
//
//   render-gallery OUTPUT_FOLDER
//   render-gallery --icon OUTPUT.png

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

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
};

void turn(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
    }
}

bool render(const Scenario& scenario, const QString& folder, const std::filesystem::path& bundle) {
    std::atomic<bool> release{false};
    InstallerServices services;
    services.installerBundle = bundle;
    services.homeDirectory = [] { return std::filesystem::path("/home/user"); };
    services.runningApplications = [](std::string_view) { return RunningApplications(); };
    services.clock = systemClock();
    services.install = [&](const std::filesystem::path&, const std::filesystem::path&,
                           const VerifyOperation&) -> std::optional<std::filesystem::path> {
        while (scenario.holdRun && !release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!scenario.failure.empty()) {
            throw installerError(scenario.failure);
        }
        return std::nullopt;
    };
    services.verify = [](const std::filesystem::path&) {};
    services.openApplication = [&](const std::filesystem::path&, OpenCompletion completion) {
        if (scenario.launch == Scenario::Launch::Failed) {
            completion(Error("Workspace", 4,
                             "找不到可执行文件“/Applications/Tessuro.app/Contents/MacOS/Tessuro”"));
        }
    };
    services.terminateApplication = [] {};
    auto model = InstallerModel::create(std::move(services));

    QWidget window;
    window.setAttribute(Qt::WA_DontShowOnScreen);
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    QSizeF size;
    auto* view = new InstallerView(
        *model, [&](QSizeF s) { size = s; }, installerIcon(bundle), &window);
    layout->addWidget(view);
    window.show();

    if (scenario.userFolder) {
        model->userFolder.set(true);
    }
    if (scenario.start) {
        model->startInstallation();
        turn([&] { return scenario.holdRun ? false : !model->installing.get(); });
    }
    if (scenario.launch != Scenario::Launch::None) {
        model->launchInstalledApp();
        turn([] { return false; });
    }
    window.setFixedSize(static_cast<int>(size.width()), static_cast<int>(size.height()));
    turn([] { return false; });
    QPixmap picture = window.grab();
    release = true;
    turn([&] { return !model->installing.get(); });
    return picture.save(folder + "/" + scenario.file);
}

// The installer bundle's own icon: a teal rounded square with a box and an arrow into it.
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
    QApplication app(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--icon") {
        return bundleIcon().save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: render-gallery OUTPUT_FOLDER | --icon OUTPUT.png\n");
        return 2;
    }
    QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    // A bundle with no icon of its own: the built-in icon stands in.
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
