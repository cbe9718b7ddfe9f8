// Launching the installed application: one request at a time, the reason of a failure in
// the window's text, and the installer's quit once the application runs.

#include <signal.h>

#include <fstream>
#include <thread>

#include "model_fixture.h"

namespace tessuro {
namespace {

using Launch = test::ModelFixture;

TEST_F(Launch, OneRequestAtATimeAndTheInstallerQuitsOnceItRuns) {
    openApplication = [](const std::filesystem::path&, OpenCompletion completion) {
        std::thread([completion] { completion(std::nullopt); }).detach();
    };
    auto model = makeModel();
    model->launchInstalledApp();
    EXPECT_TRUE(opened.empty()) << "nothing is installed yet";

    runToEnd(*model);
    ASSERT_TRUE(model->installed.get());
    model->launchInstalledApp();
    EXPECT_TRUE(model->launching.get());
    model->launchInstalledApp();
    EXPECT_EQ(opened, std::vector<std::filesystem::path>{"/Applications/Tessuro.app"});

    ASSERT_TRUE(QTest::qWaitFor([&] { return terminations == 1; }, 5000));
    EXPECT_FALSE(model->launching.get());
    EXPECT_EQ(model->error.get(), "");
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(Launch, AFailedLaunchShowsItsReasonAndATryAgainWorks) {
    auto model = makeModel();
    model->userFolder.set(true);
    runToEnd(*model);
    ASSERT_TRUE(model->installed.get());
    const std::filesystem::path installed = home / "Applications/Tessuro.app";

    model->launchInstalledApp();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->launching.get(); }, 5000));
    EXPECT_EQ(model->error.get(), "已安装，但启动失败：找不到应用程序“" + installed.string() + "”");
    EXPECT_TRUE(model->installed.get());
    EXPECT_EQ(terminations, 0);

    // The copy in the user's folder is the one opened; now it is there.
    test::makeAppBundle(installed, "com.vorlak.tessuro.psvalidation");
    std::filesystem::path marker = dir / "started";
    ::setenv("TESSURO_TEST_APP_MARKER", marker.c_str(), 1);
    model->launchInstalledApp();
    EXPECT_EQ(model->error.get(), "") << "a new attempt clears the old reason";
    ASSERT_TRUE(QTest::qWaitFor([&] { return terminations == 1; }, 5000));
    ::unsetenv("TESSURO_TEST_APP_MARKER");
    EXPECT_EQ(opened, (std::vector<std::filesystem::path>{installed, installed}));
    EXPECT_EQ(model->error.get(), "");

    pid_t started = 0;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (std::ifstream(marker) >> started) && started > 0; }, 5000));
    ::kill(started, SIGKILL);
}

}  // namespace
}  // namespace tessuro
