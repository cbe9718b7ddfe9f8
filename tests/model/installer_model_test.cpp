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

// The switch to ~/Applications acts only where the window offers it: after a failure into
// /Applications. Anywhere else (a hidden button pressed through the accessibility interface,
// say) it changes nothing, so that a later launch still opens what was installed.
TEST_F(Model, TheUserFolderIsTakenOnlyWhereItIsOffered) {
    struct Row {
        const char* name;
        int runs;          // runs ended before the switch is asked for
        bool fail;         // they fail
        bool retrying;     // a retry is still going when the switch is asked for
        bool alreadyUser;  // the runs went to ~/Applications already
        bool offered;
    };
    const Row rows[] = {
        {"before any run", 0, false, false, false, false},
        {"after a failure into /Applications", 1, true, false, false, true},
        {"after a success into /Applications", 1, false, false, false, false},
        {"while a retry runs", 1, true, true, false, false},
        {"after a failure into ~/Applications", 1, true, false, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto model = makeModel();
        model->userFolder.set(row.alreadyUser);
        transaction.outcome = [fail = row.fail] {
            if (fail) {
                throw installerError("不能写入");
            }
        };
        for (int i = 0; i < row.runs; ++i) {
            runToEnd(*model);
        }
        if (row.retrying) {
            transaction.holdUntilReleased = true;
            model->startInstallation();
        }
        const std::size_t before = transaction.destinations().size();
        EXPECT_EQ(model->userFolderOffered(), row.offered);
        model->installInUserFolderInstead();
        EXPECT_EQ(model->userFolder.get(), row.offered || row.alreadyUser);
        transaction.release();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 5000));
        if (row.offered) {
            EXPECT_EQ(transaction.destinations().size(), before + 1);
            EXPECT_EQ(transaction.destinations().back(), home / "Applications/Tessuro.app");
        } else if (!row.retrying) {
            EXPECT_EQ(transaction.destinations().size(), before) << "no run started";
        }
    }
}

}  // namespace
}  // namespace tessuro
