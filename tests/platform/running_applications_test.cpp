#include "platform/running_applications.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "child_process.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

using test::ChildProcess;
using test::TempDir;

std::vector<pid_t> pidsOf(const RunningApplications& apps) {
    std::vector<pid_t> pids;
    for (const auto& app : apps) {
        pids.push_back(static_cast<const ProcessApplication&>(*app).processIdentifier());
    }
    return pids;
}

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

TEST(RunningApplications, FindsCopiesByTheBundleIdentifierInTheirInfoPlist) {
    TempDir dir;
    std::string wanted = test::uniqueBundleIdentifier("com.example.wanted");
    std::string other = test::uniqueBundleIdentifier("com.example.other");
    auto xmlExe = test::makeAppBundle(dir / "A.app", wanted, test::PlistFormat::Xml);
    auto binExe = test::makeAppBundle(dir / "B.app", wanted, test::PlistFormat::Binary);
    auto otherExe = test::makeAppBundle(dir / "C.app", other);

    auto fifoExe = test::makeAppBundle(dir / "F.app", wanted);

    ChildProcess first(xmlExe, {});
    ChildProcess second(binExe, {});
    ChildProcess unrelated(otherExe, {});
    ChildProcess withFifo(fifoExe, {});
    ASSERT_EQ(first.readLine(), "ready");
    ASSERT_EQ(second.readLine(), "ready");
    ASSERT_EQ(unrelated.readLine(), "ready");
    ASSERT_EQ(withFifo.readLine(), "ready");

    std::vector<pid_t> expected{first.pid(), second.pid(), withFifo.pid()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(pidsOf(runningApplicationsWithBundleIdentifier(wanted)), expected);
    EXPECT_EQ(pidsOf(runningApplicationsWithBundleIdentifier(other)),
              std::vector<pid_t>{unrelated.pid()});
    EXPECT_TRUE(runningApplicationsWithBundleIdentifier(wanted + ".x").empty());

    // Any user's program can hold a FIFO where its Info.plist belongs: the listing, which
    // runs on the window's thread, must neither wait on it nor count the program.
    std::filesystem::remove(dir / "F.app/Contents/Info.plist");
    test::makeFifo(dir / "F.app/Contents/Info.plist");
    expected.erase(std::find(expected.begin(), expected.end(), withFifo.pid()));
    RunningApplications found;
    EXPECT_TRUE(test::endsWithin(2, dir / "F.app/Contents/Info.plist", [&] {
        found = runningApplicationsWithBundleIdentifier(wanted);
    })) << "the listing waited on a FIFO";
    EXPECT_EQ(pidsOf(found), expected);
}

TEST(RunningApplications, TerminateIsARegularQuitRequestAndExitIsSeenBeforeReaping) {
    TempDir dir;
    std::string id = test::uniqueBundleIdentifier("com.example.quit");
    auto exe = test::makeAppBundle(dir / "Q.app", id);
    ChildProcess quitting(exe, {});
    ChildProcess stubborn(exe, {.arguments = {"--ignore-term"}});
    ASSERT_EQ(quitting.readLine(), "ready");
    ASSERT_EQ(stubborn.readLine(), "ready");

    RunningApplications apps = runningApplicationsWithBundleIdentifier(id);
    ASSERT_EQ(apps.size(), 2u);
    for (const auto& app : apps) {
        EXPECT_FALSE(app->isTerminated());
        EXPECT_TRUE(app->terminate());
    }
    auto& quitApp = quitting.pid() < stubborn.pid() ? apps[0] : apps[1];
    auto& stubbornApp = quitting.pid() < stubborn.pid() ? apps[1] : apps[0];

    // Nobody reaps the child here: a zombie has exited all the same.
    EXPECT_TRUE(eventually([&] { return quitApp->isTerminated(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(stubbornApp->isTerminated()) << "SIGTERM must not be a forced quit";
    EXPECT_FALSE(stubborn.hasExited());
    // A zombie is no running copy.
    EXPECT_EQ(pidsOf(runningApplicationsWithBundleIdentifier(id)),
              std::vector<pid_t>{stubborn.pid()});
}

// The lister runs as "nobody": it sees nobody's own copy, but not root's, whose
// executable it may not read.
TEST(RunningApplications, ProcessesWhoseExecutableCannotBeReadAreNotCounted) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to start a process as another user";
    }
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    std::string id = test::uniqueBundleIdentifier("com.example.private");
    auto exe = test::makeAppBundle(dir / "P.app", id);
    ChildProcess rootCopy(exe, {});
    ChildProcess nobodyCopy(exe, {.runAs = test::nobodyUid()});
    ASSERT_EQ(rootCopy.readLine(), "ready");
    ASSERT_EQ(nobodyCopy.readLine(), "ready");

    int results[2];
    ASSERT_EQ(::pipe(results), 0);
    pid_t lister = ::fork();
    ASSERT_GE(lister, 0);
    if (lister == 0) {
        uid_t nobody = test::nobodyUid();
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
            ::_exit(2);
        }
        RunningApplications apps = runningApplicationsWithBundleIdentifier(id);
        pid_t found = apps.size() == 1 ? pidsOf(apps)[0] : -static_cast<pid_t>(apps.size());
        ssize_t written = ::write(results[1], &found, sizeof found);
        ::_exit(written == sizeof found ? 0 : 3);
    }
    ::close(results[1]);
    pid_t found = 0;
    ASSERT_EQ(::read(results[0], &found, sizeof found), static_cast<ssize_t>(sizeof found));
    ::close(results[0]);
    int status = 0;
    ::waitpid(lister, &status, 0);
    EXPECT_EQ(found, nobodyCopy.pid());
}

}  // namespace
}  // namespace tessuro
