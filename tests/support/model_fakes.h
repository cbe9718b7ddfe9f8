#pragma once

// A model on test doubles, in a temporary installer bundle whose Info.plists are real.

#include <gtest/gtest.h>

#include <QTest>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "install/product.h"
#include "model/installer_model.h"
#include "platform/bundle.h"
#include "temp_dir.h"

namespace tessuro::test {

using Log = std::vector<std::string>;

// A clock whose sleeps return at once, moving its time forward by the amount asked.
class TestClock final : public Clock {
public:
    std::chrono::system_clock::time_point now() override { return now_; }
    QCoro::Task<> sleep(std::chrono::milliseconds duration) override {
        advance(duration);
        ++sleeps;
        co_return;
    }
    void advance(std::chrono::milliseconds duration) { now_ += duration; }
    std::chrono::milliseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - start_);
    }
    int sleeps = 0;

private:
    std::chrono::system_clock::time_point now_ = std::chrono::system_clock::now();
    const std::chrono::system_clock::time_point start_ = now_;
};

// A running copy that answers as told, writing each request into a log shared by all copies.
class FakeApplication final : public RunningApplication {
public:
    FakeApplication(std::string name, Log& log, TestClock& clock)
        : name_(std::move(name)), log_(log), clock_(clock) {}

    bool acceptsTerminate = true;
    std::chrono::milliseconds requestTakes{0};  // the clock moves on while it is asked
    // How long after the quit request the copy exits; nothing: it never does.
    std::optional<std::chrono::milliseconds> quitsAfter = std::chrono::milliseconds(0);

    bool terminate() override {
        log_.push_back("terminate " + name_);
        clock_.advance(requestTakes);
        requestedAt_ = clock_.now();
        return acceptsTerminate;
    }
    bool isTerminated() override {
        log_.push_back("isTerminated " + name_);
        return requestedAt_ && quitsAfter && clock_.now() >= *requestedAt_ + *quitsAfter;
    }

private:
    std::string name_;
    Log& log_;
    TestClock& clock_;
    std::optional<std::chrono::system_clock::time_point> requestedAt_;
};

// The file work of the run: records the destinations, then returns or throws as told. It can
// hold the run inside the background task until the test releases it.
class FakeTransaction {
public:
    std::function<void()> outcome = [] {};  // throws to fail
    bool holdUntilReleased = false;

    InstallOperation operation() {
        return [this](const std::filesystem::path& source, const std::filesystem::path& destination,
                      const VerifyOperation& verify, bool inUserFolder) {
            {
                std::unique_lock lock(mutex_);
                destinations_.push_back(destination);
                inUserFolder_.push_back(inUserFolder);
                changed_.wait(lock, [&] { return !holdUntilReleased || released_; });
            }
            verify(-1, source, nullptr);
            outcome();
            return InstallerTransaction::Result{std::nullopt, HeldBundle{destination, {}, {}}};
        };
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<std::filesystem::path> destinations() const {
        std::lock_guard lock(mutex_);
        return destinations_;
    }
    // For each install, whether it went to the user's own folder.
    std::vector<bool> inUserFolder() const {
        std::lock_guard lock(mutex_);
        return inUserFolder_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::vector<std::filesystem::path> destinations_;
    std::vector<bool> inUserFolder_;
};

class ModelFixture : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path installer = dir / "Tessuro Installer.app";
    std::filesystem::path payload = installer / "Contents/Resources/Payload/Tessuro.app";
    std::filesystem::path home = dir / "home";
    std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
    Log log;     // the requests to the running copies
    Log writes;  // see recordWrites()
    std::vector<std::shared_ptr<FakeApplication>> copies;
    int listings = 0;
    std::vector<std::filesystem::path> verified;
    // The build number the check finds, when not the one the payload's Info.plist gives now.
    std::optional<std::optional<std::string>> checkedBuildNumber;
    FakeTransaction transaction;
    std::vector<std::filesystem::path> opened;  // each opening asked for, in order
    std::vector<OpenCompletion> pendingOpens;   // completed by the test: completeOpen()
    int terminations = 0;

    void SetUp() override { writeVersions("12", "12"); }

    // nullopt: the bundle's Info.plist has no CFBundleVersion.
    void writeVersions(std::optional<std::string> own, std::optional<std::string> payloadVersion) {
        using Entries = std::vector<std::pair<std::string, std::string>>;
        writeInfoPlist(installer, own ? Entries{{"CFBundleVersion", *own}} : Entries{});
        writeInfoPlist(payload,
                       payloadVersion ? Entries{{"CFBundleVersion", *payloadVersion}} : Entries{});
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
            .install = transaction.operation(),
            .verify =
                [this](int, const std::filesystem::path& b, codesign::VerificationSession*) {
                    verified.push_back(b);
                    VerifiedBundle checked;
                    checked.buildNumber =
                        checkedBuildNumber.value_or(bundleInfoString(b, "CFBundleVersion"));
                    return checked;
                },
            .openApplication =
                [this](const HeldBundle& bundle, OpenCompletion completion) {
                    opened.push_back(bundle.path);
                    pendingOpens.push_back(std::move(completion));
                },
            .terminateApplication = [this] { ++terminations; },
        };
    }

    // Completes the oldest pending opening from another thread, as the system does.
    void completeOpen(std::optional<Error> failure = std::nullopt) {
        ASSERT_FALSE(pendingOpens.empty());
        std::thread([done = pendingOpens.front(), failure] { done(failure); }).join();
        pendingOpens.erase(pendingOpens.begin());
    }

    // Starts a run and turns the event loop until it has ended.
    void runToEnd(InstallerModel& model) {
        model.startInstallation();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model.installing.get(); }, 5000));
    }

    // Records every write to `installing`, `installed` and `error`, in order, into `writes`.
    std::vector<Subscription> recordWrites(InstallerModel& model) {
        auto flag = [this](std::string name) {
            return
                [this, name](const bool& value) { writes.push_back(name + (value ? "=1" : "=0")); };
        };
        std::vector<Subscription> tokens;
        tokens.push_back(model.installing.subscribe(flag("installing")));
        tokens.push_back(model.installed.subscribe(flag("installed")));
        tokens.push_back(model.error.subscribe(
            [this](const std::string& v) { writes.push_back("error=" + v); }));
        writes.clear();
        return tokens;
    }
};

}  // namespace tessuro::test
