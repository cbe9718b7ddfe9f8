#include "model/installer_model.h"

#include <gtest/gtest.h>

namespace tessuro {
namespace {

TEST(InstallerModel, StartsReadyAndComputesTheDestinationOnEachUse) {
    std::filesystem::path home = "/home/first";
    auto model = InstallerModel::create(InstallerServices{
        .installerBundle = "/nowhere",
        .homeDirectory = [&] { return home; },
        .runningApplications = nullptr,
        .clock = nullptr,
        .install = nullptr,
        .verify = nullptr,
    });
    EXPECT_FALSE(model->installing.get());
    EXPECT_FALSE(model->installed.get());
    EXPECT_FALSE(model->launching.get());
    EXPECT_EQ(model->error.get(), "");
    EXPECT_FALSE(model->userFolder.get());
    EXPECT_FALSE(model->automaticInstallationStarted);

    EXPECT_EQ(model->destinationURL(), "/Applications/Tessuro.app");
    model->userFolder.set(true);
    EXPECT_EQ(model->destinationURL(), "/home/first/Applications/Tessuro.app");
    home = "/home/second";
    EXPECT_EQ(model->destinationURL(), "/home/second/Applications/Tessuro.app");

    int announcements = 0;
    Subscription token = model->objectWillChange.subscribe([&] { ++announcements; });
    model->automaticInstallationStarted = true;
    EXPECT_EQ(announcements, 0) << "a plain field announces nothing";
}

TEST(InstallerModel, NoHomeFolderFailsTheStartInsteadOfLeavingItInstalling) {
    auto model = InstallerModel::create(InstallerServices{
        .installerBundle = "/nowhere",
        .homeDirectory = []() -> std::filesystem::path {
            throw std::runtime_error("找不到当前用户的主文件夹");
        },
        .runningApplications = nullptr,
        .clock = nullptr,
        .install = nullptr,
        .verify = nullptr,
    });
    model->userFolder.set(true);
    model->startInstallation();
    EXPECT_FALSE(model->installing.get());
    EXPECT_EQ(model->error.get(), "找不到当前用户的主文件夹");
}

}  // namespace
}  // namespace tessuro
