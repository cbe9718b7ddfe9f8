#pragma once

// A model on test doubles: a clock whose sleeps return at once, running copies that answer
// as told, file work that records its calls, in a temporary installer bundle whose
// Info.plists are real.

#include <gtest/gtest.h>

#include <QTest>

#include "install/product.h"
#include "model/installer_model.h"
#include "model_fakes.h"
#include "temp_dir.h"

namespace tessuro::test {

class ModelFixture : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path installer = dir / "Tessuro Installer.app";
    std::filesystem::path payload = installer / "Contents/Resources/Payload/Tessuro.app";
    std::filesystem::path home = dir / "home";
    std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
    std::vector<std::string> log;
    std::vector<std::shared_ptr<FakeApplication>> copies;
    int listings = 0;
    std::vector<std::filesystem::path> verified;
    FakeTransaction transaction;
    // Opening applications: recorded, then handed to `openApplication` (the real one
    // unless a test puts another in place).
    std::vector<std::filesystem::path> opened;
    std::function<void(const std::filesystem::path&, OpenCompletion)> openApplication =
        tessuro::openApplication;
    int terminations = 0;

    void SetUp() override { writeVersions("12", "12"); }

    // nullopt: the bundle's Info.plist has no CFBundleVersion.
    void writeVersions(std::optional<std::string> own, std::optional<std::string> payloadVersion) {
        auto entries = [](const std::optional<std::string>& version) {
            std::vector<std::pair<std::string, std::string>> e{{"CFBundleIdentifier", "x"}};
            if (version) {
                e.emplace_back("CFBundleVersion", *version);
            }
            return e;
        };
        writeInfoPlist(installer, entries(own));
        writeInfoPlist(payload, entries(payloadVersion));
    }

    FakeApplication& addCopy(std::string name) {
        copies.push_back(std::make_shared<FakeApplication>(std::move(name), log, *clock));
        return *copies.back();
    }

    std::shared_ptr<InstallerModel> makeModel() { return InstallerModel::create(services()); }

    InstallerServices services() {
        return InstallerServices{
            .installerBundle = installer,
            .homeDirectory = [this] { return home; },
            .runningApplications =
                [this](std::string_view id) {
                    EXPECT_EQ(id, payloadBundleIdentifier);
                    ++listings;
                    return RunningApplications(copies.begin(), copies.end());
                },
            .clock = clock,
            .install = transaction.operation(*clock),
            .verify = [this](const std::filesystem::path& b) { verified.push_back(b); },
            .openApplication =
                [this](const std::filesystem::path& bundle, OpenCompletion completion) {
                    opened.push_back(bundle);
                    openApplication(bundle, std::move(completion));
                },
            .terminateApplication = [this] { ++terminations; },
        };
    }

    // Starts a run and turns the event loop until it has ended.
    void runToEnd(InstallerModel& model) {
        model.startInstallation();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model.installing.get(); }, 5000));
    }

    void expectFailure(InstallerModel& model, const std::string& message) {
        EXPECT_FALSE(model.installing.get());
        EXPECT_FALSE(model.installed.get());
        EXPECT_EQ(model.error.get(), message);
    }
};

}  // namespace tessuro::test
