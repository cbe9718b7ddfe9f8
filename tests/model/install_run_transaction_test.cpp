// The install run with the real transaction, into a temporary home's Applications folder.

#include <gtest/gtest.h>

#include <QTest>

#include "model/installer_model.h"
#include "platform/error.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

class InstallRunWithTransaction : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path installer = dir / "Tessuro Installer.app";
    fs::path payload = installer / "Contents/Resources/Payload/Tessuro.app";
    fs::path destination = dir / "home/Applications/Tessuro.app";

    void SetUp() override {
        test::writeInfoPlist(installer, {{"CFBundleVersion", "2"}});
        test::makeTessuroBundle(payload, "2");
    }

    std::shared_ptr<InstallerModel> run(VerifyOperation verify) {
        InstallerServices services = systemServices();
        services.installerBundle = installer;
        services.homeDirectory = [this] { return dir / "home"; };
        services.runningApplications = [](std::string_view) { return RunningApplications(); };
        if (verify) {
            services.verify = std::move(verify);
        }
        auto model = InstallerModel::create(std::move(services));
        model->userFolder.set(true);
        model->startInstallation();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 10000));
        return model;
    }
};

TEST_F(InstallRunWithTransaction, InstallsAndUpgradesIntoTheUserFolder) {
    auto model = run([](const fs::path&) {});
    EXPECT_TRUE(model->installed.get()) << model->error.get();
    EXPECT_EQ(test::treeSnapshot(destination), test::treeSnapshot(payload));

    fs::remove_all(destination);
    test::makeTessuroBundle(destination, "1");
    model = run([](const fs::path&) {});
    EXPECT_TRUE(model->installed.get()) << model->error.get();
    EXPECT_EQ(test::treeSnapshot(destination), test::treeSnapshot(payload));
}

TEST_F(InstallRunWithTransaction, RejectedInstalledCopyBringsThePreviousVersionBack) {
    test::makeTessuroBundle(destination, "1");
    auto old = test::treeSnapshot(destination);
    auto model = run([this](const fs::path& bundle) {
        if (bundle == destination) {
            throw installerError("安装文件校验未通过，请重新下载安装包", 2);
        }
    });
    EXPECT_EQ(model->error.get(), "安装文件校验未通过，请重新下载安装包");
    EXPECT_FALSE(model->installed.get());
    EXPECT_EQ(test::treeSnapshot(destination), old);
    EXPECT_TRUE(test::hiddenItems(destination.parent_path()).empty());
}

TEST_F(InstallRunWithTransaction, TheBuiltInValidationFailsClosed) {
    auto model = run(nullptr);
    EXPECT_EQ(model->error.get(), "安装文件校验未通过，请重新下载安装包");
    EXPECT_FALSE(fs::exists(destination));
}

}  // namespace
}  // namespace tessuro
