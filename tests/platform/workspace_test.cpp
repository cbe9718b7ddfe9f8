#include "platform/workspace.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/keyctl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "held_bundle.h"
#include "platform/error.h"
#include "platform/files.h"
#include "temp_dir.h"
#include "thread_starts.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The fields of /proc/<pid>/stat after the command: state, parent, group, session, ...
std::vector<std::string> statFields(pid_t pid) {
    std::istringstream rest(
        readText("/proc/" + std::to_string(pid) + "/stat")
            .substr(readText("/proc/" + std::to_string(pid) + "/stat").rfind(')') + 1));
    return {std::istream_iterator<std::string>(rest), {}};
}

// The first line of /proc/<pid>/status that begins with `key`, e.g. "Uid:\t65534\t...".
std::string statusLine(pid_t pid, const std::string& key) {
    std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(key)) {
            return line;
        }
    }
    return "";
}

// The process running the file `identity`, waited for up to five seconds; 0 if none.
pid_t processRunning(const FileIdentity& identity) {
    for (int tries = 0; tries < 500; ++tries) {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            struct stat st {};
            const std::string exe = entry.path().string() + "/exe";
            if (std::isdigit(entry.path().filename().string()[0]) &&
                ::stat(exe.c_str(), &st) == 0 && identityOf(st) == identity) {
                return std::stoi(entry.path().filename().string());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// Waits up to five seconds for a file to have content.
std::string awaitText(const fs::path& path) {
    for (int tries = 0; tries < 500 && readText(path).empty(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return readText(path);
}

// A bundle whose executable is a shell script of `body`.
void makeScriptBundle(const fs::path& bundle, const std::string& body) {
    test::writeInfoPlist(
        bundle, {{"CFBundleIdentifier", "com.example.script"}, {"CFBundleExecutable", "Tessuro"}});
    test::writeFile(bundle / "Contents/MacOS/Tessuro", "#!/bin/sh\n" + body + "\n");
    ::chmod((bundle / "Contents/MacOS/Tessuro").c_str(), 0755);
}

// A bundle whose script writes what `commands` print into `report`, whole or not at all;
// by its absolute path, so that a launch gone wrong writes nowhere else.
void makeReportingBundle(const fs::path& bundle, const std::string& commands,
                         const fs::path& report) {
    const std::string part = (report.parent_path() / "part").string();
    makeScriptBundle(bundle, "{ " + commands + "; } > '" + part + "' && mv '" + part + "' '" +
                                 report.string() + "'");
}

// A folder the test may launch from as "nobody", whose home folder is `home`.
struct ForNobody {
    test::TempDir dir;
    fs::path home = dir / "home";
    DesktopUser nobody;

    ForNobody() {
        ::chmod(dir.path().c_str(), 0755);
        fs::create_directories(home);
        ::chown(home.c_str(), test::nobodyUid(), static_cast<gid_t>(-1));
        nobody = test::nobodyWithHome(home);
    }
};

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
    const DesktopUser me = desktopUser();
    struct Case {
        std::function<void()> make;    // the bundle as it was checked
        std::function<void()> thenDo;  // what happens to it afterwards
        long code;
        std::string message;  // the whole text, or its beginning when it ends in "："
    };
    auto replaceExecutable = [&] {
        fs::rename(exe, dir / "checked");
        fs::copy_file(dir / "checked", exe);
    };
    const std::vector<Case> cases{
        {[] {}, [] {}, launch_code::kBundleMissing,
         "找不到应用程序“" + (dir / "X.app").string() + "”"},
        {[&] {
             test::writeInfoPlist(dir / "X.app", {{"CFBundleIdentifier", "x"}});
         },
         [] {}, launch_code::kNoExecutableKey,
         "应用程序的 Info.plist 没有写明可执行文件（CFBundleExecutable）"},
        {[&] { test::makeAppBundle(dir / "X.app", "x"); }, [&] { fs::remove(exe); },
         launch_code::kExecutableMissing, "找不到可执行文件“" + exe.string() + "”"},
        {[&] { test::makeAppBundle(dir / "X.app", "x"); },
         [&] {
             fs::remove(exe);
             fs::create_directory(exe);
         },
         launch_code::kNotExecutable, "“" + exe.string() + "”不是可执行文件"},
        {[&] { ::chmod(test::makeAppBundle(dir / "X.app", "x").c_str(), 0644); }, [] {},
         launch_code::kExecFailed, "“" + exe.string() + "”没有执行权限"},
        {[&] { test::writeFile(test::makeAppBundle(dir / "X.app", "x"), "\x01\x02garbage"); },
         [] {}, launch_code::kExecFailed, "“" + exe.string() + "”不是这台电脑能运行的程序格式"},
        {[&] { test::makeAppBundle(dir / "X.app", "x"); }, replaceExecutable,
         launch_code::kExecutableChanged, "“" + exe.string() + "”在校验之后被替换，没有启动"},
        {[&] { test::makeAppBundle(dir / "X.app", "x"); },
         [&] {
             fs::rename(exe, dir / "checked");
             fs::create_symlink(dir / "checked", exe);
         },
         launch_code::kExecutableChanged, "“" + exe.string() + "”在校验之后被替换，没有启动"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir / "X.app");
        fs::remove_all(dir / "checked");
        c.make();
        const HeldBundle held = test::heldAsItStands(dir / "X.app");
        c.thenDo();
        try {
            openApplicationNow(held, me);
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

// What was checked is what starts, a program or a script, even after the bundle's path has
// been given to another bundle: the one that took it never runs.
TEST(OpenApplication, StartsTheCheckedFileWhateverStandsAtItsPathNow) {
    test::TempDir dir;
    const fs::path bundle = dir / "Tessuro.app", marker = dir / "marker";
    const auto intruder = [&] {
        fs::rename(bundle, dir / "Moved.app");
        makeScriptBundle(bundle, "echo intruder > '" + marker.string() + "'");
    };
    // A script: its interpreter reads it through the held folder.
    makeScriptBundle(bundle, "echo \"checked $0\" > '" + marker.string() + "'");
    HeldBundle held = test::heldAsItStands(bundle);
    intruder();
    openApplicationNow(held, desktopUser());
    const std::string said = awaitText(marker);
    EXPECT_TRUE(said.starts_with("checked /proc/self/fd/")) << said;
    EXPECT_TRUE(said.ends_with("/Contents/MacOS/Tessuro\n")) << said;

    // A program: started from the descriptor of the file that was checked.
    fs::remove_all(dir / "Moved.app");
    fs::remove_all(bundle);
    fs::remove(marker);
    test::makeAppBundle(bundle, "com.example.program");
    held = test::heldAsItStands(bundle);
    intruder();
    openApplicationNow(held, desktopUser());
    const pid_t started = processRunning(held.verified.executableIdentity);
    EXPECT_GT(started, 0);
    ::kill(started, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(fs::exists(marker)) << "the bundle now at the path ran";
}

// Without a thread to be had for the start (the user's process limit, a full task group),
// the opening is made on the caller's thread, and its completion still comes: with the
// reason for a bundle that cannot be started, with none for one that started.
TEST(OpenApplication, WithoutAThreadToBeHadTheOpeningStillAnswers) {
    test::TempDir dir;
    const fs::path report = dir / "report";
    makeReportingBundle(dir / "Started.app", "echo started", report);
    const HeldBundle started = test::heldAsItStands(dir / "Started.app");
    const HeldBundle missing = test::heldAsItStands(dir / "Missing.app");
    std::mutex mutex;
    std::condition_variable answered;
    std::vector<std::optional<Error>> answers;
    const OpenCompletion answer = [&](std::optional<Error> failure) {
        std::lock_guard lock(mutex);
        answers.push_back(std::move(failure));
        answered.notify_all();
    };
    {
        test::ThreadStartsFail noThreads(1);
        openApplication(missing, answer);
        openApplication(started, answer);
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(
        answered.wait_for(lock, std::chrono::seconds(10), [&] { return answers.size() == 2; }))
        << answers.size() << " of 2 openings answered";
    ASSERT_TRUE(answers[0].has_value());
    EXPECT_EQ(answers[0]->code(), launch_code::kBundleMissing);
    EXPECT_EQ(answers[0]->localizedDescription(),
              "找不到应用程序“" + (dir / "Missing.app").string() + "”");
    EXPECT_FALSE(answers[1].has_value()) << answers[1]->localizedDescription();
    EXPECT_EQ(awaitText(report), "started\n");
}

// Root acting for a desktop user starts the application as that user, with the user's
// groups and an environment of the user's own, never as root.
TEST(OpenApplication, ForAnotherUserItRunsAsThatUserWithAnEnvironmentOfTheirOwn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act for another user";
    }
    ForNobody at;
    const test::TempDir& dir = at.dir;
    const fs::path& home = at.home;
    const DesktopUser& nobody = at.nobody;
    makeReportingBundle(dir / "Script.app", "id -u; id -G; pwd; env", home / "report");
    test::makeAppBundle(dir / "Program.app", "com.example.program");
    ::setenv("DISPLAY", ":42", 1);
    ::setenv("LC_TESSURO_TEST", "kept", 1);
    ::setenv("TESSURO_ROOTS_OWN", "not for the user", 1);

    openApplicationNow(test::heldAsItStands(dir / "Script.app"), nobody);
    const HeldBundle program = test::heldAsItStands(dir / "Program.app");
    openApplicationNow(program, nobody);
    ::unsetenv("LC_TESSURO_TEST");
    ::unsetenv("TESSURO_ROOTS_OWN");

    std::istringstream report(awaitText(home / "report"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(report, line);) {
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::to_string(nobody.uid));
    std::string groups;
    for (gid_t group : nobody.groups) {
        groups += (groups.empty() ? "" : " ") + std::to_string(group);
    }
    EXPECT_EQ(lines[1], groups) << "the user's groups, none of root's";
    EXPECT_EQ(lines[2], home.string());
    const std::vector<std::string> environment(lines.begin() + 3, lines.end());
    auto has = [&](const std::string& entry) {
        return std::find(environment.begin(), environment.end(), entry) != environment.end();
    };
    for (const std::string& entry :
         {"HOME=" + home.string(), "USER=" + nobody.name, "LOGNAME=" + nobody.name,
          "SHELL=" + nobody.shell, std::string("DISPLAY=:42"),
          std::string("LC_TESSURO_TEST=kept")}) {
        EXPECT_TRUE(has(entry)) << entry;
    }
    for (const std::string& entry : environment) {
        EXPECT_FALSE(entry.starts_with("TESSURO_ROOTS_OWN") || entry.starts_with("SUDO_")) << entry;
    }

    const pid_t started = processRunning(program.verified.executableIdentity);
    ASSERT_GT(started, 0);
    const std::string uid = std::to_string(nobody.uid);
    EXPECT_EQ(statusLine(started, "Uid:"), "Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
    ::kill(started, SIGKILL);
}

// The program inherits nothing of the opener's but its standard streams (on /dev/null) and,
// for a script, the held folder: no other descriptor, open or leaked by a library without
// close-on-exec, and no signal the opener ignores.
TEST(OpenApplication, TheProgramGetsNoDescriptorOrIgnoredSignalOfTheOpeners) {
    test::TempDir dir;
    const fs::path bundle = dir / "Script.app", report = dir / "report";
    test::writeFile(dir / "secret-of-the-opener", "x");
    makeReportingBundle(bundle,
                        "grep '^SigIgn:' /proc/$$/status; for f in /proc/$$/fd/*; do readlink "
                        "\"$f\"; done",
                        report);
    const UniqueFd leaked(::open((dir / "secret-of-the-opener").c_str(), O_RDONLY));
    ASSERT_TRUE(leaked.valid());
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGHUP, &ignore, &saved);
    openApplicationNow(test::heldAsItStands(bundle), desktopUser());
    ::sigaction(SIGHUP, &saved, nullptr);
    const std::string said = awaitText(report);
    ASSERT_FALSE(said.empty());
    EXPECT_TRUE(said.starts_with("SigIgn:\t0000000000000000\n")) << said;
    EXPECT_EQ(said.find("secret-of-the-opener"), std::string::npos) << said;
}

// A key in the session keyring of root's session (one that pam_keyinit made for sudo, say)
// never reaches the application started for another user: the application's keyring is
// one of that user's own.
TEST(OpenApplication, ForAnotherUserNoKeyOfRootsSessionComesAlong) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act for another user";
    }
    ForNobody at;
    makeReportingBundle(at.dir / "Script.app", "cat /proc/keys", at.home / "report");
    const char* secret = "tessuro-test-root-secret";
    std::string unavailable;
    std::string report;
    // A session keyring belongs to a thread's credentials: this thread's goes with it.
    std::thread([&] {
        if (::syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, "tessuro-test-root-session") < 0) {
            unavailable = posixReason(errno);
            return;
        }
        const long key =
            ::syscall(SYS_add_key, "user", secret, "hunter2", 7, KEY_SPEC_SESSION_KEYRING);
        if (key < 0) {
            unavailable = posixReason(errno);
            return;
        }
        openApplicationNow(test::heldAsItStands(at.dir / "Script.app"), at.nobody);
        report = awaitText(at.home / "report");
        ::syscall(SYS_keyctl, KEYCTL_REVOKE, key);
    }).join();
    if (!unavailable.empty()) {
        GTEST_SKIP() << "no keyrings here: " << unavailable;
    }
    if (report.empty()) {
        GTEST_SKIP() << "no /proc/keys to read the keys from";
    }
    EXPECT_EQ(report.find(secret), std::string::npos) << report;
    EXPECT_EQ(report.find("tessuro-test-root-session"), std::string::npos) << report;
}

}  // namespace
}  // namespace tessuro
