#include "platform/workspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "platform/files.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

// The fields of /proc/<pid>/stat after the command: state, parent, group, session, ...
std::vector<std::string> statFields(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));
    return {std::istream_iterator<std::string>(rest), {}};
}

TEST(OpenApplication, StartsTheProgramDetachedSoThatItOutlivesTheOpener) {
    test::TempDir dir;
    fs::path bundle = dir / "Tessuro.app";
    test::makeAppBundle(bundle, "com.example.open");
    fs::create_directories(dir / "home");
    fs::path marker = dir / "marker";
    ::setenv("TESSURO_TEST_APP_MARKER", marker.c_str(), 1);
    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", (dir / "home").c_str(), 1);

    pid_t opened = 0;
    {
        // The opener is a process of its own, like the installer, and ends first.
        test::ChildProcess opener(TESSURO_TEST_APP, {.arguments = {"--open", bundle.string()}});
        EXPECT_EQ(opener.readLine(), "opened");
        EXPECT_TRUE(opener.waitForExit(10));
        for (int i = 0; i < 500 && !(std::ifstream(marker) >> opened); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::unsetenv("TESSURO_TEST_APP_MARKER");
    ::setenv("HOME", savedHome.c_str(), 1);
    ASSERT_GT(opened, 0);
    const std::vector<std::string> stat = statFields(opened);
    ASSERT_GE(stat.size(), 4u) << "still running after the opener ended";
    EXPECT_NE(stat[0], "Z");
    EXPECT_NE(stat[1], std::to_string(::getpid())) << "not a child of ours";
    EXPECT_NE(stat[3], std::to_string(::getsid(0))) << "a session of its own";
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(opened) + "/cwd"), dir / "home");
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(opened) + "/fd/1"), "/dev/null");
    ::kill(opened, SIGKILL);
}

TEST(OpenApplication, FailuresSayWhatIsWrong) {
    test::TempDir dir;
    const fs::path exe = dir / "X.app/Contents/MacOS/Tessuro";
    struct Case {
        std::function<void()> make;
        long code;
        std::string message;  // the whole text, or its beginning when it ends in "："
    };
    const std::vector<Case> cases{
        {[] {}, launch_code::kBundleMissing, "找不到应用程序“" + (dir / "X.app").string() + "”"},
        {[&] { fs::create_directories(dir / "X.app/Contents"); }, launch_code::kInfoUnreadable,
         "应用程序的 Info.plist 无法读取："},
        {[&] {
             test::writeInfoPlist(dir / "X.app", {{"CFBundleIdentifier", "x"}});
         },
         launch_code::kNoExecutableKey,
         "应用程序的 Info.plist 没有写明可执行文件（CFBundleExecutable）"},
        {[&] { fs::remove(test::makeAppBundle(dir / "X.app", "x")); },
         launch_code::kExecutableMissing, "找不到可执行文件“" + exe.string() + "”"},
        {[&] {
             const fs::path made = test::makeAppBundle(dir / "X.app", "x");
             fs::remove(made);
             fs::create_directory(made);
         },
         launch_code::kNotExecutable, "“" + exe.string() + "”不是可执行文件"},
        {[&] { ::chmod(test::makeAppBundle(dir / "X.app", "x").c_str(), 0644); },
         launch_code::kExecFailed, "“" + exe.string() + "”没有执行权限"},
        {[&] { test::writeFile(test::makeAppBundle(dir / "X.app", "x"), "\x01\x02garbage"); },
         launch_code::kExecFailed, "“" + exe.string() + "”不是这台电脑能运行的程序格式"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "X.app");
        c.make();
        try {
            openApplicationNow(dir / "X.app");
            ADD_FAILURE() << c.message << ": opened";
        } catch (const Error& error) {
            EXPECT_EQ(error.domain(), kLaunchErrorDomain);
            EXPECT_EQ(error.code(), c.code) << c.message;
            const std::string& text = error.localizedDescription();
            EXPECT_EQ(c.message.ends_with("：") ? text.substr(0, c.message.size()) : text,
                      c.message);
        }
    }
}

}  // namespace
}  // namespace tessuro
