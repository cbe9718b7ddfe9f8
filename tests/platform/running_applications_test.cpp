#include "platform/running_applications.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "child_process.h"
#include "hostile_plists.h"
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

// The copies of one user only: another user's copy is neither asked to quit nor waited for.
TEST(RunningApplications, FindsTheUsersCopiesByTheBundleIdentifierInTheirInfoPlist) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);  // another user's copy runs from here too
    const uid_t me = ::geteuid();
    std::string wanted = test::uniqueBundleIdentifier("com.example.wanted");
    std::string other = test::uniqueBundleIdentifier("com.example.other");
    ChildProcess xml(test::makeAppBundle(dir / "A.app", wanted, test::PlistFormat::Xml), {});
    ChildProcess binary(test::makeAppBundle(dir / "B.app", wanted, test::PlistFormat::Binary), {});
    ChildProcess unrelated(test::makeAppBundle(dir / "C.app", other), {});
    ChildProcess withFifo(test::makeAppBundle(dir / "F.app", wanted), {});
    // Any user's program can hold an Info.plist made to crash or stall a parse that trusts
    // it: such a program is not counted, and the listing neither crashes nor stalls.
    ChildProcess hiddenNesting(test::makeAppBundle(dir / "H.app", wanted), {});
    test::writeFile(dir / "H.app/Contents/Info.plist",
                    test::hiddenNestingXmlPlist(30'000, test::HiddenIn::Comment));
    ChildProcess doubling(test::makeAppBundle(dir / "D.app", wanted), {});
    test::writeFile(dir / "D.app/Contents/Info.plist", test::doublingBinaryPlist(40));
    std::optional<ChildProcess> othersCopy;
    if (me == 0) {
        othersCopy.emplace(test::makeAppBundle(dir / "N.app", wanted),
                           ChildProcess::Options{.user = test::nobodyUid()});
        ASSERT_EQ(othersCopy->readLine(), "ready");
    }
    for (ChildProcess* child : {&xml, &binary, &unrelated, &withFifo, &hiddenNesting, &doubling}) {
        ASSERT_EQ(child->readLine(), "ready");
    }
    std::vector<pid_t> expected{xml.pid(), binary.pid(), withFifo.pid()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(pidsOf(runningApplicationsWithBundleIdentifier(wanted, me)), expected);
    EXPECT_EQ(pidsOf(runningApplicationsWithBundleIdentifier(other, me)),
              std::vector<pid_t>{unrelated.pid()});
    EXPECT_TRUE(runningApplicationsWithBundleIdentifier(wanted + ".x", me).empty());
    if (othersCopy) {
        EXPECT_EQ(pidsOf(runningApplicationsWithBundleIdentifier(wanted, test::nobodyUid())),
                  std::vector<pid_t>{othersCopy->pid()});
    }

    // Any user's program can hold a FIFO where its Info.plist belongs: the listing must
    // neither wait on it nor count the program.
    const std::filesystem::path fifo = dir / "F.app/Contents/Info.plist";
    std::filesystem::remove(fifo);
    test::makeFifo(fifo);
    std::erase(expected, withFifo.pid());
    RunningApplications found;
    EXPECT_TRUE(test::endsWithin(2, fifo, [&] {
        found = runningApplicationsWithBundleIdentifier(wanted, me);
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

    RunningApplications apps = runningApplicationsWithBundleIdentifier(id, ::geteuid());
    ASSERT_EQ(pidsOf(apps), (std::vector{std::min(quitting.pid(), stubborn.pid()),
                                         std::max(quitting.pid(), stubborn.pid())}));
    for (const auto& app : apps) {
        EXPECT_FALSE(app->isTerminated());
        EXPECT_TRUE(app->terminate());
    }
    auto& quitApp = apps[quitting.pid() < stubborn.pid() ? 0 : 1];
    auto& stubbornApp = apps[quitting.pid() < stubborn.pid() ? 1 : 0];

    // Nobody reaps the child here: a zombie has exited all the same. The stubborn copy, sent
    // the same signal first, would be gone by then had it been a forced quit.
    EXPECT_TRUE(eventually([&] { return quitApp->isTerminated(); }));
    EXPECT_FALSE(stubbornApp->isTerminated()) << "SIGTERM must not be a forced quit";
    // A zombie is no running copy.
    EXPECT_EQ(pidsOf(runningApplicationsWithBundleIdentifier(id, ::geteuid())),
              std::vector<pid_t>{stubborn.pid()});
}

}  // namespace
}  // namespace tessuro
