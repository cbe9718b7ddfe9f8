// The install run against test doubles: a clock whose sleeps return at once, running
// copies that answer as told, and file work that records its calls. The bundles are real
// folders, so the presence and build-number checks read real Info.plists.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include "install/product.h"
#include "model/installer_model.h"
#include "model_fixture.h"
#include "platform/error.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

using namespace std::chrono_literals;
using test::FakeApplication;
using test::FakeTransaction;
using test::TempDir;
using test::TestClock;

using InstallRun = test::ModelFixture;

TEST_F(InstallRun, SucceedsThroughTheTransactionWithThePayloadAndDestination) {
    auto model = makeModel();
    std::vector<std::string> writes;
    Subscription a = model->installing.subscribe(
        [&](const bool& v) { writes.push_back(std::string("installing=") + (v ? "1" : "0")); });
    Subscription b = model->installed.subscribe([&](const bool& v) {
        writes.push_back(std::string("installed=") + (v ? "1" : "0"));
        EXPECT_FALSE(v && model->installing.get()) << "never installing and installed at once";
    });
    Subscription c =
        model->error.subscribe([&](const std::string& v) { writes.push_back("error=" + v); });
    writes.clear();

    model->startInstallation();
    EXPECT_TRUE(model->installing.get()) << "set before startInstallation returns";
    EXPECT_EQ(listings, 0) << "the checks run later, in a queued job";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 5000));

    EXPECT_TRUE(model->installed.get());
    EXPECT_EQ(model->error.get(), "");
    EXPECT_EQ(writes,
              (std::vector<std::string>{"installing=1", "error=", "installing=0", "installed=1"}));
    ASSERT_EQ(transaction.calls().size(), 1u);
    EXPECT_EQ(transaction.calls()[0].source, payload);
    EXPECT_EQ(transaction.calls()[0].destination, "/Applications/Tessuro.app");
    EXPECT_EQ(verified, std::vector<std::filesystem::path>{payload}) << "verify handed on";
    EXPECT_EQ(clock->sleeps, 0) << "nothing running: no wait at all";
}

TEST_F(InstallRun, PayloadMissingOrBuildNumbersDifferingFailsBeforeAnythingIsAsked) {
    struct Case {
        std::optional<std::string> own, payload;
        bool passes;
    };
    for (const Case& c : {Case{"12", "12", true}, Case{"12", "12.0", false},
                          Case{std::nullopt, std::nullopt, true}, Case{"12", std::nullopt, false},
                          Case{std::nullopt, "12", false}, Case{"12", "13", false}}) {
        writeVersions(c.own, c.payload);
        addCopy("A");
        listings = 0;
        auto model = makeModel();
        runToEnd(*model);
        std::string label = c.own.value_or("-") + " vs " + c.payload.value_or("-");
        if (c.passes) {
            EXPECT_TRUE(model->installed.get()) << label;
        } else {
            expectFailure(*model, "安装包不完整，请重新下载");
            EXPECT_EQ(listings, 0) << label;
        }
        copies.clear();
    }
    EXPECT_TRUE(log.size() == 4) << "only the two passing cases asked their copy";

    std::filesystem::remove_all(payload);
    auto model = makeModel();
    runToEnd(*model);
    expectFailure(*model, "安装包不完整，请重新下载");
    EXPECT_EQ(listings, 0);
    EXPECT_EQ(transaction.calls().size(), 2u);
}

TEST_F(InstallRun, UndeliverableQuitRequestFailsAtOnceAndLaterCopiesAreNotAsked) {
    addCopy("A").acceptsTerminate = false;
    addCopy("B");
    auto model = makeModel();
    runToEnd(*model);
    expectFailure(*model, "请先退出Tessuro，再重试安装");
    EXPECT_EQ(log, std::vector<std::string>{"terminate A"});
    EXPECT_EQ(clock->sleeps, 0);
    EXPECT_TRUE(transaction.calls().empty());
}

TEST_F(InstallRun, CopyThatQuitsAfterTwoSecondsIsWaitedForAtHundredMillisecondChecks) {
    addCopy("A");
    addCopy("B").quitsAfter = 2s;
    auto model = makeModel();
    runToEnd(*model);
    EXPECT_TRUE(model->installed.get());
    ASSERT_EQ(transaction.calls().size(), 1u);
    EXPECT_EQ(clock->sleeps, 20);
    EXPECT_EQ(clock->elapsed(), 2s) << "the transaction starts at the first check after the exit";
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{"terminate A", "terminate B", "isTerminated A",
                                        "isTerminated B"}));
}

TEST_F(InstallRun, CopyThatNeverQuitsFailsAtTheTenSecondDeadline) {
    addCopy("A").quitsAfter = std::nullopt;
    auto model = makeModel();
    runToEnd(*model);
    expectFailure(*model, "Tessuro仍在运行，请先退出再重试");
    EXPECT_EQ(clock->elapsed(), 10s);
    EXPECT_EQ(clock->sleeps, 100);
    EXPECT_TRUE(transaction.calls().empty());
    EXPECT_EQ(std::count(log.begin(), log.end(), "terminate A"), 1) << "asked once, never forced";
}

TEST_F(InstallRun, TransactionErrorsAreShownUnchanged) {
    auto model = makeModel();
    transaction.outcome = [] { throw installerError("安装文件校验未通过，请重新下载安装包", 2); };
    runToEnd(*model);
    expectFailure(*model, "安装文件校验未通过，请重新下载安装包");

    transaction.outcome = [] { throw Error("POSIX", 28, "无法复制“x”：磁盘空间不足"); };
    runToEnd(*model);
    expectFailure(*model, "无法复制“x”：磁盘空间不足");

    // Failures nobody planned for still end the run, so the window can close again.
    transaction.outcome = [] { throw std::runtime_error("unexpected"); };
    runToEnd(*model);
    expectFailure(*model, "unexpected");

    transaction.outcome = [] { throw 42; };
    runToEnd(*model);
    expectFailure(*model, "安装时发生未知错误，请重试");

    transaction.outcome = [] {};
    copies.clear();
    auto listingFails = InstallerModel::create(InstallerServices{
        .installerBundle = installer,
        .homeDirectory = [this] { return home; },
        .runningApplications = [](std::string_view) -> RunningApplications {
            throw std::runtime_error("no process list");
        },
        .clock = clock,
        .install = transaction.operation(*clock),
        .verify = [](const std::filesystem::path&) {},
    });
    runToEnd(*listingFails);
    expectFailure(*listingFails, "no process list");
}

TEST_F(InstallRun, StartIsIgnoredWhileRunningAndAfterSuccess) {
    transaction.holdUntilReleased = true;
    auto model = makeModel();
    int announcements = 0;
    Subscription counter = model->objectWillChange.subscribe([&] { ++announcements; });

    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return transaction.calls().size() == 1; }, 5000));
    announcements = 0;
    model->startInstallation();
    QCoreApplication::processEvents();
    EXPECT_EQ(announcements, 0) << "not even error is written";
    EXPECT_TRUE(model->installing.get());

    transaction.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->installed.get(); }, 5000));
    announcements = 0;
    model->startInstallation();
    QCoreApplication::processEvents();
    EXPECT_EQ(announcements, 0);
    EXPECT_EQ(transaction.calls().size(), 1u);
}

TEST_F(InstallRun, SubscribingToInstallingDuringARunHearsTrueAtOnce) {
    transaction.holdUntilReleased = true;
    auto model = makeModel();
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return transaction.calls().size() == 1; }, 5000));
    std::vector<bool> heard;
    Subscription token = model->installing.subscribe([&](const bool& v) { heard.push_back(v); });
    transaction.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->installed.get(); }, 5000));
    EXPECT_EQ(heard, (std::vector<bool>{true, false}));
}

TEST_F(InstallRun, RetryAfterAFailureCanInstallIntoTheUserFolder) {
    transaction.outcome = [] { throw installerError("同名位置不是应用目录，未替换原文件"); };
    auto model = makeModel();
    runToEnd(*model);
    expectFailure(*model, "同名位置不是应用目录，未替换原文件");

    transaction.outcome = [] {};
    model->userFolder.set(true);
    model->startInstallation();
    EXPECT_EQ(model->error.get(), "") << "a new run clears the old reason";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 5000));
    EXPECT_TRUE(model->installed.get());
    ASSERT_EQ(transaction.calls().size(), 2u);
    EXPECT_EQ(transaction.calls()[1].destination, home / "Applications" / "Tessuro.app");
}

TEST_F(InstallRun, ModelGoneBeforeTheQueuedRunStartsEndsTheRunQuietly) {
    addCopy("A");
    auto model = makeModel();
    model->startInstallation();
    model.reset();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(listings, 0);
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(transaction.calls().empty());
}

TEST_F(InstallRun, RunKeepsItsModelAliveUntilItEnds) {
    transaction.holdUntilReleased = true;
    auto model = makeModel();
    std::weak_ptr<InstallerModel> weak = model;
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return transaction.calls().size() == 1; }, 5000));
    model.reset();
    EXPECT_FALSE(weak.expired()) << "held by the run";
    transaction.release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return weak.expired(); }, 5000));
}

}  // namespace
}  // namespace tessuro
