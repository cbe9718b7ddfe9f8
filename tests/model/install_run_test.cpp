// The install run on test doubles (model_fakes.h): the order of its checks and writes, the
// polite quit of running copies with its bounded wait, and how a failure ends the run.

#include <QCoreApplication>

#include "hostile_plists.h"
#include "model_fakes.h"
#include "platform/error.h"
#include "thread_starts.h"

namespace tessuro {
namespace {

using namespace std::chrono_literals;
using InstallRun = test::ModelFixture;
using test::Log;
using Paths = std::vector<std::filesystem::path>;

TEST_F(InstallRun, SucceedsThroughTheTransactionWithThePayloadAndDestination) {
    auto model = makeModel();
    auto recording = recordWrites(*model);
    model->startInstallation();
    EXPECT_TRUE(model->installing.get()) << "set before startInstallation returns";
    EXPECT_EQ(listings, 0) << "the checks run later, in a queued job";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->installing.get(); }, 5000));

    EXPECT_EQ(writes, (Log{"installing=1", "error=", "installing=0", "installed=1"}));
    EXPECT_EQ(verified, Paths{payload}) << "the payload, with verify handed on";
    EXPECT_EQ(clock->sleeps, 0) << "nothing running: no wait at all";

    // The user's own folder, whose files are the user's.
    auto second = makeModel();
    second->userFolder.set(true);
    runToEnd(*second);
    EXPECT_EQ(transaction.destinations(),
              (Paths{"/Applications/Tessuro.app", home / "Applications/Tessuro.app"}));
    EXPECT_EQ(transaction.inUserFolder(), (std::vector<bool>{false, true}));
}

TEST_F(InstallRun, PayloadMissingOrOfAnotherBuildNumberIsRefused) {
    struct Case {
        std::optional<std::string> own, payload;
        bool passes;
    };
    for (const Case& c : {Case{"12", "12", true}, Case{"12", "12.0", false},
                          Case{std::nullopt, std::nullopt, true}, Case{"12", std::nullopt, false},
                          Case{std::nullopt, "12", false}, Case{"12", "13", false}}) {
        writeVersions(c.own, c.payload);
        listings = 0;
        auto model = makeModel();
        runToEnd(*model);
        SCOPED_TRACE(c.own.value_or("-") + " vs " + c.payload.value_or("-"));
        EXPECT_EQ(listings, c.passes ? 1 : 0);
        EXPECT_EQ(model->error.get(), c.passes ? "" : "安装包不完整，请重新下载");
    }
    // A payload whose Info.plist would crash or stall a parse that trusts it, or none at all.
    for (const std::string& hostile : {test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Cdata),
                                       test::doublingBinaryPlist(40)}) {
        test::writeFile(payload / "Contents/Info.plist", hostile);
        auto model = makeModel();
        runToEnd(*model);
        EXPECT_EQ(model->error.get(), "安装包不完整，请重新下载");
    }
    std::filesystem::remove_all(payload);
    auto model = makeModel();
    runToEnd(*model);
    EXPECT_EQ(model->error.get(), "安装包不完整，请重新下载");
    EXPECT_EQ(transaction.destinations().size(), 2u) << "only the two passing cases";

    // What decides is the build number of the bundle the transaction checks: another signed
    // build put in the payload's place after the early check is refused all the same.
    writeVersions("12", "12");
    checkedBuildNumber = std::optional<std::string>("11");
    auto swapped = makeModel();
    runToEnd(*swapped);
    EXPECT_EQ(swapped->error.get(), "安装包不完整，请重新下载");
}

TEST_F(InstallRun, UndeliverableQuitRequestFailsAtOnceAndLaterCopiesAreNotAsked) {
    addCopy("A").acceptsTerminate = false;
    addCopy("B");
    auto model = makeModel();
    runToEnd(*model);
    EXPECT_EQ(model->error.get(), "请先退出Tessuro，再重试安装");
    EXPECT_EQ(log, Log{"terminate A"});
    EXPECT_TRUE(transaction.destinations().empty());
}

TEST_F(InstallRun, CopiesAreListedOnceAndWaitedForAtHundredMillisecondChecks) {
    addCopy("A");
    addCopy("B").quitsAfter = 2s;
    auto model = makeModel();
    runToEnd(*model);
    EXPECT_TRUE(model->installed.get());
    EXPECT_EQ(listings, 1) << "listed once per run, not on every check";
    EXPECT_EQ(clock->sleeps, 20);
    EXPECT_EQ(clock->elapsed(), 2s) << "the transaction starts at the first check after the exit";
    EXPECT_EQ(Log(log.begin(), log.begin() + 4),
              (Log{"terminate A", "terminate B", "isTerminated A", "isTerminated B"}));
}

TEST_F(InstallRun, CopyThatNeverQuitsFailsAtTheTenSecondDeadline) {
    addCopy("A").quitsAfter = std::nullopt;
    auto model = makeModel();
    runToEnd(*model);
    EXPECT_EQ(model->error.get(), "Tessuro仍在运行，请先退出再重试");
    EXPECT_EQ(clock->elapsed(), 10s);
    EXPECT_EQ(clock->sleeps, 100);
    EXPECT_TRUE(transaction.destinations().empty());
    EXPECT_EQ(std::count(log.begin(), log.end(), "terminate A"), 1) << "asked once, never forced";
}

TEST_F(InstallRun, TheDeadlineCountsFromAfterTheQuitRequests) {
    test::FakeApplication& slow = addCopy("A");
    slow.requestTakes = 11s;  // longer than the whole wait
    slow.quitsAfter = 1s;
    auto model = makeModel();
    runToEnd(*model);
    EXPECT_TRUE(model->installed.get()) << model->error.get();
    EXPECT_EQ(clock->elapsed(), 12s);
}

TEST_F(InstallRun, FailuresAreShownUnchangedAfterInstallingIsCleared) {
    const std::vector<std::pair<std::function<void()>, std::string>> failures = {
        {[] { throw installerError("安装文件校验未通过，请重新下载安装包", 2); },
         "安装文件校验未通过，请重新下载安装包"},
        {[] { throw Error("POSIX", 28, "无法复制“x”：磁盘空间不足"); },
         "无法复制“x”：磁盘空间不足"},
        // Failures nobody planned for still end the run, so the window can close again, and
        // their English texts stay out of it.
        {[] { throw std::runtime_error("unexpected"); }, "安装时发生未知错误，请重试"},
        {[] { throw 42; }, "安装时发生未知错误，请重试"},
    };
    auto model = makeModel();
    auto recording = recordWrites(*model);
    for (const auto& [outcome, message] : failures) {
        transaction.outcome = outcome;
        writes.clear();
        runToEnd(*model);
        EXPECT_EQ(writes, (Log{"installing=1", "error=", "installing=0", "error=" + message}));
    }

    InstallerServices services = this->services();
    services.runningApplications = [](std::string_view) -> RunningApplications {
        throw std::runtime_error("no process list");
    };
    auto listingFails = InstallerModel::create(std::move(services));
    runToEnd(*listingFails);
    EXPECT_EQ(listingFails->error.get(), "安装时发生未知错误，请重试");
}

// Without a thread to be had for the file work, the run still ends, saying why, and the
// window can be closed again; once threads can be had, a retry installs.
TEST_F(InstallRun, WithoutAThreadToBeHadTheRunEndsSayingWhy) {
    auto model = makeModel();
    {
        test::ThreadStartsFail noThreads(1);
        runToEnd(*model);
    }
    EXPECT_EQ(model->error.get(), "系统操作未能完成：系统资源暂时不足");
    EXPECT_TRUE(transaction.destinations().empty());
    runToEnd(*model);
    EXPECT_TRUE(model->installed.get()) << model->error.get();
}

TEST_F(InstallRun, StartIsIgnoredWhileRunningAndAfterSuccess) {
    transaction.holdUntilReleased = true;
    auto model = makeModel();
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return transaction.destinations().size() == 1; }, 5000));
    auto recording = recordWrites(*model);
    model->startInstallation();
    QCoreApplication::processEvents();
    EXPECT_TRUE(writes.empty()) << "not even error is written";

    transaction.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->installed.get(); }, 5000));
    writes.clear();
    model->startInstallation();
    QCoreApplication::processEvents();
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(transaction.destinations().size(), 1u);
}

TEST_F(InstallRun, TheRunHoldsItsModelOnlyOnceItHasStarted) {
    addCopy("A");
    auto model = makeModel();
    model->startInstallation();
    model.reset();  // gone before the queued run starts: it ends quietly
    QCoreApplication::processEvents();
    EXPECT_EQ(listings, 0);
    EXPECT_TRUE(transaction.destinations().empty());

    transaction.holdUntilReleased = true;
    model = makeModel();
    std::weak_ptr<InstallerModel> weak = model;
    model->startInstallation();
    ASSERT_TRUE(QTest::qWaitFor([&] { return transaction.destinations().size() == 1; }, 5000));
    model.reset();
    EXPECT_FALSE(weak.expired()) << "held by the run";
    transaction.release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return weak.expired(); }, 5000));
}

}  // namespace
}  // namespace tessuro
