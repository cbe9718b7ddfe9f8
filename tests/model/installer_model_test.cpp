// The model outside the run: where it installs to, and the launch of the installed copy.

#include "model_fakes.h"

namespace tessuro {
namespace {

using Model = test::ModelFixture;
using Paths = std::vector<std::filesystem::path>;

TEST_F(Model, TheDestinationIsComputedOnEachUse) {
    auto model = makeModel();
    EXPECT_EQ(model->destinationURL(), "/Applications/Tessuro.app");
    model->userFolder.set(true);
    EXPECT_EQ(model->destinationURL(), home / "Applications/Tessuro.app");
    home = "/home/second";
    EXPECT_EQ(model->destinationURL(), "/home/second/Applications/Tessuro.app");
}

TEST_F(Model, NoHomeFolderFailsTheStartInsteadOfLeavingItInstalling) {
    InstallerServices services = this->services();
    services.homeDirectory = []() -> std::filesystem::path {
        throw posixError(ENOENT, "找不到用户", "1000", "用户数据库中没有这个用户");
    };
    auto model = InstallerModel::create(std::move(services));
    model->userFolder.set(true);
    model->startInstallation();
    EXPECT_FALSE(model->installing.get());
    EXPECT_EQ(model->error.get(), "找不到用户“1000”：用户数据库中没有这个用户");
}

// One request at a time, a failure's reason in the window's text, and the installer's quit
// once the application runs: the application the run installed, whatever the destination
// would be now.
TEST_F(Model, TheLaunchAfterAFailedOneQuitsTheInstaller) {
    auto model = makeModel();
    model->launchInstalledApp();
    EXPECT_TRUE(opened.empty()) << "nothing is installed yet";

    runToEnd(*model);
    model->userFolder.set(true);
    model->launchInstalledApp();
    model->launchInstalledApp();  // ignored while the first one runs
    completeOpen(Error("Workspace", 4, "找不到应用程序“x”"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->launching.get(); }, 5000));
    EXPECT_EQ(model->error.get(), "已安装，但启动失败：找不到应用程序“x”");

    model->launchInstalledApp();
    EXPECT_EQ(model->error.get(), "") << "a new attempt clears the old reason";
    const std::filesystem::path installed = "/Applications/Tessuro.app";
    EXPECT_EQ(opened, (Paths{installed, installed}));
    completeOpen();
    EXPECT_EQ(terminations, 0) << "the outcome reaches the model on the main thread";
    ASSERT_TRUE(QTest::qWaitFor([&] { return terminations == 1; }, 5000));
    EXPECT_FALSE(model->launching.get());
}

}  // namespace
}  // namespace tessuro
