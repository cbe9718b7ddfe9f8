// The install transaction on real folders under a temporary root, through counted file
// operations that can be made to fail.

#include "install/installer_transaction.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <new>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "child_process.h"
#include "codesign/digest.h"
#include "install/payload_validation.h"
#include "install/product.h"
#include "platform/bundle.h"
#include "platform/desktop_user.h"
#include "platform/error.h"
#include "recording_file_system.h"
#include "signing_fixtures.h"
#include "temp_dir.h"
#include "thread_starts.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

using test::hiddenItems;
using test::treeSnapshot;
namespace fs = std::filesystem;

const std::string kChanged = "安装期间目标文件发生变化，未替换，请重试";
const std::string kRejected = "安装文件校验未通过，请重新下载安装包";
const std::string kStaging = ".Tessuro-安装中-";

// The message of the failure of `run`, or "passed".
std::string failureOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const Error& error) {
        return error.localizedDescription();
    }
    return "passed";
}

bool isStaged(const fs::path& bundle) {
    return bundle.filename().string().starts_with(kStaging);
}

class Transaction : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path source = dir / "Installer.app/Contents/Resources/Payload/Tessuro.app";
    fs::path apps = dir / "Applications";
    fs::path destination = apps / "Tessuro.app";
    test::RecordingFileSystem files;
    std::vector<std::function<void()>> later;
    std::vector<fs::path> verified;
    std::vector<codesign::VerificationSession*> sessions;  // the session each check ran in
    std::function<void(const fs::path&)> onVerify = [](const fs::path&) {};

    void SetUp() override { test::makeUnsignedBundle(source, "2"); }

    // The backup the install kept, if any.
    std::optional<fs::path> install() { return installHeld().backup; }

    InstallerTransaction::Result installHeld() {
        InstallerTransaction::Environment environment{
            files, [this](std::function<void()> job) { later.push_back(std::move(job)); }};
        return InstallerTransaction::install(
            source, destination,
            [this](int, const fs::path& bundle, codesign::VerificationSession* session) {
                verified.push_back(bundle);
                sessions.push_back(session);
                onVerify(bundle);
                return VerifiedBundle();
            },
            environment);
    }

    std::string installFailure() {
        return failureOf([this] { install(); });
    }

    // The installed copy is rejected, once `change` has run.
    void rejectInstalled(std::function<void()> change = [] {}) {
        onVerify = [this, change](const fs::path& p) {
            if (p == destination) {
                change();
                throw installerError(kRejected, installer_code::kValidationFailed);
            }
        };
    }

    void runLater() {
        for (auto& job : later) {
            job();
        }
        later.clear();
    }

    // Starts again: an empty Applications folder, or one holding version 1.
    void reset(bool upgrade) {
        fs::remove_all(apps);
        fs::create_directories(apps);
        if (upgrade) {
            test::makeUnsignedBundle(destination, "1");
        }
        files.log.clear();
        files.faults.clear();
        files.beforeEach = {};
        onVerify = [](const fs::path&) {};
    }

    // Runs `change` once, right before the first operation whose log entry begins with
    // `operation`, or while the staged copy is verified when `operation` is empty.
    void changeBefore(const std::string& operation, std::function<void()> change) {
        auto once = std::make_shared<std::function<void()>>(std::move(change));
        auto fireIf = [once](bool now) {
            if (now && *once) {
                std::exchange(*once, {})();
            }
        };
        onVerify = [=](const fs::path& p) { fireIf(operation.empty() && isStaged(p)); };
        files.beforeEach = [=](const std::string& op) {
            fireIf(!operation.empty() && op.starts_with(operation));
        };
    }
};

TEST_F(Transaction, FreshInstallChecksSourceStagedAndInstalledCopies) {
    EXPECT_EQ(install(), std::nullopt);
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
    EXPECT_TRUE(hiddenItems(apps).empty());
    EXPECT_TRUE(later.empty());

    ASSERT_EQ(verified.size(), 3u);
    EXPECT_EQ(verified, (std::vector{source, apps / verified[1].filename(), destination}));
    EXPECT_TRUE(std::regex_match(
        verified[1].filename().string(),
        std::regex(kStaging + "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                              "[0-9A-F]{12}\\.app")));

    // The staged and the installed copy are the installer's own files and share one
    // session; the payload, which others may write, is read in full.
    EXPECT_NE(sessions.at(1), nullptr);
    EXPECT_EQ(sessions,
              (std::vector<codesign::VerificationSession*>{nullptr, sessions[1], sessions[1]}));
}

TEST_F(Transaction, UpgradeSwapsOnDiskAndRemovesOnlyTheBackupAfterwards) {
    test::makeUnsignedBundle(destination, "1");
    auto old = treeSnapshot(destination);

    std::optional<fs::path> backup = install();
    ASSERT_TRUE(backup.has_value());
    std::string uuid = verified[1].filename().string().substr(kStaging.size(), 36);
    EXPECT_EQ(*backup, apps / (".Tessuro-旧版-" + uuid + ".previous"));
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
    EXPECT_EQ(treeSnapshot(*backup), old) << "the result names the replaced bundle";
    runLater();
    EXPECT_TRUE(hiddenItems(apps).empty());

    // The staged copy is on disk before the swap, and the swap before the last check.
    auto position = [&](const std::string& prefix) {
        return std::find_if(files.log.begin(), files.log.end(),
                            [&](const std::string& op) { return op.starts_with(prefix); }) -
               files.log.begin();
    };
    EXPECT_LT(position("syncFileSystem"), position("exchange " + kStaging));
    EXPECT_LT(position("exchange " + kStaging), position("syncDirectory"));

    // Another folder put at the backup's name meanwhile stays, and so does the replaced
    // bundle wherever it was moved.
    backup = install();
    ASSERT_TRUE(backup.has_value());
    auto replaced = treeSnapshot(*backup);
    fs::rename(*backup, dir / "Moved.previous");
    test::writeFile(*backup / "note.txt", "someone else's");
    runLater();
    EXPECT_EQ(treeSnapshot(*backup),
              (std::map<std::string, std::string>{{"note.txt", "file:someone else's"}}));
    EXPECT_EQ(treeSnapshot(dir / "Moved.previous"), replaced);
}

// Refused before anything is written anywhere: the source as its own destination however
// spelt, and what may not be replaced or followed (see the inspection's own tests).
TEST_F(Transaction, RefusesBeforeWritingAnything) {
    fs::create_directory_symlink(source.parent_path(), dir / "Linked");
    fs::create_directory_symlink(source, dir / "Link.app");
    for (fs::path spelling :
         {source, source / ".", source.parent_path() / "../Payload/./Tessuro.app",
          source / "Contents/..", dir / "Linked/Tessuro.app", dir / "Link.app"}) {
        destination = spelling;
        EXPECT_EQ(installFailure(), "不能用安装源替换它自己") << spelling;
    }
    EXPECT_TRUE(verified.empty()) << "refused before any verification";

    fs::create_directory_symlink(dir / "outside", dir / "LinkedApps");
    const std::vector<std::tuple<fs::path, std::function<void()>, std::string>> cases{
        {apps / "Tessuro.app",
         [&] {
             test::writeInfoPlist(apps / "Tessuro.app", {{"CFBundleIdentifier", "x"}});
         },
         "同名位置不是Tessuro"},
        {apps / "Tessuro.app", [&] { fs::create_symlink(dir / "nowhere", apps / "Tessuro.app"); },
         "同名项目已存在"},
        {dir / "LinkedApps/Tessuro.app", [&] { test::writeFile(dir / "outside/a", "x"); },
         "“" + (dir / "LinkedApps").string() + "”：它是一个符号链接，安装程序不会跟随"},
    };
    for (const auto& [at, make, message] : cases) {
        reset(false);
        destination = at;
        make();
        auto before = treeSnapshot(dir.path());
        std::string failure = installFailure();
        EXPECT_NE(failure.find(message), std::string::npos) << failure;
        EXPECT_EQ(treeSnapshot(dir.path()), before) << message;
    }
    // A payload that fails its check is the reason given, whatever else is wrong.
    onVerify = [](const fs::path&) {
        throw installerError(kRejected, installer_code::kValidationFailed);
    };
    EXPECT_EQ(installFailure(), kRejected);
}

// A failing validation stops the run at each of its three points, and leaves the
// destination as it was: the previous version restored, or nothing on a fresh install.
TEST_F(Transaction, AFailingValidationAtAnyPointLeavesTheDestinationAsItWas) {
    for (bool upgrade : {false, true}) {
        for (bool exchange : {true, false}) {
            for (int point = 0; point < 3; ++point) {
                reset(upgrade);
                files.exchangeUnsupported = !exchange;
                auto before = treeSnapshot(destination);
                onVerify = [&, point](const fs::path& p) {
                    if ((point == 0 && p == source) || (point == 1 && isStaged(p)) ||
                        (point == 2 && p == destination)) {
                        throw installerError(kRejected, installer_code::kValidationFailed);
                    }
                };
                std::string label = std::to_string(point) + (upgrade ? " upgrade" : " fresh") +
                                    (exchange ? "" : " without exchange");
                EXPECT_EQ(installFailure(), kRejected) << label;
                EXPECT_EQ(treeSnapshot(destination), before) << label;
                EXPECT_TRUE(hiddenItems(apps).empty()) << label;
            }
        }
    }
}

// The installed copy is rejected while the destination changes under the last check: the
// user reads the rejection, and the previous version comes back wherever it can.
TEST_F(Transaction, TheRollbackRestoresWhateverStandsAtTheDestination) {
    for (bool exchange : {true, false}) {
        // The new copy vanished: the previous one is moved back where nothing stands.
        reset(true);
        files.exchangeUnsupported = !exchange;
        auto old = treeSnapshot(destination);
        rejectInstalled([&] { fs::rename(destination, dir / "Vanished.app"); });
        EXPECT_EQ(installFailure(), kRejected);
        EXPECT_EQ(treeSnapshot(destination), old);
        EXPECT_TRUE(hiddenItems(apps).empty());
        EXPECT_EQ(treeSnapshot(dir / "Vanished.app"), treeSnapshot(source)) << "not ours to remove";
        fs::remove_all(dir / "Vanished.app");

        // Something else stands there: it stays, and the previous version waits, named.
        test::writeInfoPlist(dir / "Foreign.app", {{"CFBundleIdentifier", "com.example.other"}});
        auto foreign = treeSnapshot(dir / "Foreign.app");
        rejectInstalled([&] {
            fs::rename(destination, dir / "Vanished.app");
            fs::rename(dir / "Foreign.app", destination);
        });
        std::string failure = installFailure();
        ASSERT_EQ(hiddenItems(apps).size(), 1u);
        fs::path kept = apps / hiddenItems(apps)[0];
        EXPECT_EQ(failure, kRejected + "；原来的版本未能恢复，保存在“" + kept.string() + "”");
        EXPECT_EQ(treeSnapshot(kept), old);
        EXPECT_EQ(treeSnapshot(destination), foreign);
        fs::remove_all(dir / "Vanished.app");
    }

    // A fresh install whose copy vanished before its rejection reads the rejection too.
    reset(false);
    rejectInstalled([&] { fs::rename(destination, dir / "Vanished.app"); });
    EXPECT_EQ(installFailure(), kRejected);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_TRUE(hiddenItems(apps).empty());
}

// Whatever another process does at the destination while the install runs stays as it left
// it, and the install is refused: nothing of ours remains, and nothing is recreated.
TEST_F(Transaction, ChangesAtTheDestinationDuringTheInstallAreRefused) {
    auto moveAway = [&] { fs::rename(destination, dir / "Taken.app"); };
    auto putOther = [&] {
        moveAway();
        test::makeUnsignedBundle(destination, "3");
    };
    auto makeFolder = [&] { fs::create_directory(destination); };
    struct Case {
        const char* what;
        bool upgrade;
        bool exchange;
        std::string before;  // the operation the change precedes; "" while the copy is checked
        std::function<void()> change;
    };
    const std::vector<Case> cases{
        {"created while checked", false, true, "", makeFolder},
        {"removed while checked", true, true, "", moveAway},
        {"replaced while checked", true, true, "", putOther},
        {"folder removed while checked", true, true, "", [&] { fs::remove_all(apps); }},
        {"folder removed while checked", false, true, "", [&] { fs::remove_all(apps); }},
        {"replaced before the swap", true, true, "exchange " + kStaging, putOther},
        {"removed before the swap", true, true, "exchange " + kStaging, moveAway},
        {"replaced before it is moved aside", true, false, "rename Tessuro.app", putOther},
        {"created before the move", false, true, "rename " + kStaging, makeFolder},
    };
    for (const Case& c : cases) {
        reset(c.upgrade);
        fs::remove_all(dir / "Taken.app");
        files.exchangeUnsupported = !c.exchange;
        std::map<std::string, std::string> left;
        std::pair<bool, bool> there;  // whether the destination and its folder exist
        auto look = [&] { return std::pair(fs::exists(destination), fs::exists(apps)); };
        changeBefore(c.before, [&] {
            c.change();
            left = treeSnapshot(destination);
            there = look();
        });
        EXPECT_EQ(installFailure(), kChanged) << c.what;
        EXPECT_EQ(treeSnapshot(destination), left) << c.what;
        EXPECT_EQ(look(), there) << c.what;
        EXPECT_TRUE(hiddenItems(apps).empty()) << c.what;
        if (c.before.empty()) {  // seen before the swap: no name was touched
            EXPECT_EQ(std::count_if(files.log.begin(), files.log.end(),
                                    [](const std::string& op) {
                                        return op.starts_with("rename") ||
                                               op.starts_with("exchange");
                                    }),
                      0)
                << c.what;
        }
    }
}

// Replaced right before the swap, and the exchange back fails: the new copy stays in place,
// and the message says so and where the other item went.
TEST_F(Transaction, AReplacementThatCannotBePutBackIsNamed) {
    reset(true);
    int exchanges = 0;
    files.beforeEach = [&](const std::string& op) {
        if (op.starts_with("exchange ") && ++exchanges == 1) {
            fs::rename(destination, dir / "Taken.app");
            test::makeUnsignedBundle(destination, "4");
        } else if (op.starts_with("exchange ")) {
            throw Error(std::string(kPosixErrorDomain), EIO, "exchange failed");
        }
    };
    std::string failure = installFailure();
    ASSERT_EQ(hiddenItems(apps).size(), 1u);
    fs::path movedTo = apps / hiddenItems(apps)[0];
    EXPECT_EQ(failure, "安装期间目标文件发生变化：新版本已安装，原位置的项目已移到“" +
                           movedTo.string() + "”");
    EXPECT_EQ(treeSnapshot(movedTo)["Contents/Resources/data/levels/one.dat"], "file:level one 4");
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
}

// A failure of the standard library's rather than an Error (a thread or memory that cannot
// be had, a failure nobody planned for) reaches the window in the window's language, also
// with the note of a rollback that could not put the previous version back.
TEST_F(Transaction, AFailureThatIsNotAnErrorIsToldInTheWindowsLanguage) {
    const std::string noResources = "系统操作未能完成：系统资源暂时不足";
    const std::function<void()> noThread = [] {
        throw std::system_error(EAGAIN, std::generic_category(), "Resource unavailable");
    };
    const struct {
        const char* name;
        std::function<void()> failure;  // while the installed copy is checked
        bool rollbackFails;
        std::string expected;  // the message's beginning
    } rows[] = {
        {"a thread that cannot start", noThread, false, noResources},
        {"a thread that cannot start, and no way back", noThread, true,
         noResources + "；原来的版本未能恢复，保存在“"},
        {"a file that cannot be reached",
         [] {
             throw fs::filesystem_error("stat", "/x/y",
                                        std::make_error_code(std::errc::permission_denied));
         },
         false, "无法访问“/x/y”：没有访问权限"},
        {"no memory", [] { throw std::bad_alloc(); }, false, "系统操作未能完成：内存不足"},
        {"a failure of the system's that has no words of its own",
         [] { throw std::system_error(ENOLINK, std::generic_category(), "Link has been severed"); },
         false, "系统操作未能完成：系统错误（错误代码 " + std::to_string(ENOLINK) + "）"},
        {"a failure of no known kind", [] { throw std::runtime_error("unexpected"); }, false,
         "安装时发生未知错误，请重试"},
    };
    for (const auto& row : rows) {
        reset(true);
        bool checkFailed = false;
        onVerify = [&](const fs::path& bundle) {
            if (bundle == destination) {
                checkFailed = true;
                row.failure();
            }
        };
        files.beforeEach = [&](const std::string& operation) {
            if (row.rollbackFails && checkFailed &&
                (operation.starts_with("rename") || operation.starts_with("exchange"))) {
                throw Error(std::string(kPosixErrorDomain), EIO, "moves fail");
            }
        };
        const std::string failure = installFailure();
        EXPECT_TRUE(failure.starts_with(row.expected)) << row.name << ": " << failure;
    }
}

// The Info.plist that decides whether the destination may be replaced is read through the
// folder whose identity was taken: a Tessuro folder put at the name of a foreign one only
// while it is read lends the check nothing.
TEST_F(Transaction, TheDestinationsInfoPlistIsReadFromTheInspectedFolderOnly) {
    test::writeInfoPlist(destination, {{"CFBundleIdentifier", "com.example.other"}});
    auto foreign = treeSnapshot(destination);
    changeBefore("readFileAt", [&] {
        fs::rename(destination, dir / "Foreign.app");
        test::makeUnsignedBundle(destination, "1");
    });
    EXPECT_EQ(installFailure(), "同名位置不是Tessuro，未替换原文件");
    EXPECT_EQ(treeSnapshot(dir / "Foreign.app"), foreign);
    EXPECT_TRUE(hiddenItems(apps).empty());
}

// What a kill would leave at any instant of a whole run: before each file operation and
// after the last, the destination holds the previous or the new bundle, whole, or nothing
// on a fresh install, and beside it only the run's hidden names.
TEST_F(Transaction, AtEveryInstantTheDestinationHoldsAWholeBundle) {
    const auto fresh = treeSnapshot(source);
    const std::regex ours(kStaging +
                          "[0-9A-F-]{36}\\.app|\\.Tessuro-旧版-[0-9A-F-]{36}\\.previous");
    for (bool upgrade : {false, true}) {
        reset(upgrade);
        const auto old = treeSnapshot(destination);
        int instants = 0;
        auto look = [&](const std::string& next) {
            const auto now = treeSnapshot(destination);
            EXPECT_TRUE(now == fresh || now == old) << upgrade << " before " << next;
            for (const auto& entry : fs::directory_iterator(apps)) {
                const std::string name = entry.path().filename().string();
                EXPECT_TRUE(name == "Tessuro.app" || std::regex_match(name, ours))
                    << name << " before " << next;
            }
            ++instants;
        };
        files.beforeEach = look;
        EXPECT_EQ(install().has_value(), upgrade);
        runLater();
        look("the end");
        EXPECT_GT(instants, 8);
    }
}

// The faults a disk really gives each kind of operation: before it runs, and for those
// that write, after (a copy cut short, a write-back that failed, a removal that stopped).
std::vector<test::RecordingFileSystem::Fault> faultsFor(const std::string& operation) {
    auto is = [&](const char* kind) { return operation.starts_with(kind); };
    if (is("copyTree")) {
        return {{ENOSPC, false}, {ENOSPC, true}, {EIO, true}};
    }
    if (is("syncFileSystem") || is("syncDirectory")) {
        return {{EIO, true}, {EROFS, true}};
    }
    if (is("rename") || is("exchange")) {
        // After running: a network file system that made the rename but reported an error.
        return {{ENOENT, false}, {EBUSY, false}, {EROFS, false}, {ENOENT, true}, {EIO, true}};
    }
    if (is("removeTree")) {
        return {{EBUSY, false}, {EIO, true}};
    }
    if (is("createDirectories")) {
        return {{EROFS, false}, {ENOSPC, false}};
    }
    return {{EIO, false}};
}

// What a run that failed, or passed, may leave: the new bundle, complete, and then no
// message that says nothing was replaced; or the previous bundle at the destination or
// waiting under a hidden name that the message gives; or nothing on a fresh install.
void expectNothingLost(const fs::path& apps, const std::string& failure, bool upgrade,
                       const std::map<std::string, std::string>& fresh,
                       const std::map<std::string, std::string>& old, const std::string& label) {
    auto now = treeSnapshot(apps / "Tessuro.app");
    bool previousNamed = false;
    for (const std::string& hidden : hiddenItems(apps)) {
        previousNamed |=
            treeSnapshot(apps / hidden) == old && failure.find(hidden) != std::string::npos;
    }
    if (failure == "passed") {
        EXPECT_EQ(now, fresh) << label;
    } else if (now == fresh) {
        EXPECT_EQ(failure.find("未替换"), std::string::npos) << label;
        EXPECT_TRUE(!upgrade || previousNamed) << label;
    } else if (upgrade) {
        EXPECT_TRUE(now == old || (now.empty() && previousNamed)) << label;
    } else {
        EXPECT_TRUE(now.empty()) << label;
    }
}

// Each file operation of a whole install fails in turn with each of its faults, also while
// the installed copy is being rejected, so that the rollback's own steps fail too. A write
// that failed is never a success, and the previous bundle is never lost.
TEST_F(Transaction, AFailureOfAnyFileOperationLosesNothing) {
    const auto fresh = treeSnapshot(source);
    test::makeUnsignedBundle(dir / "Old.app", "1");
    const auto old = treeSnapshot(dir / "Old.app");
    int cases = 0;
    for (int configuration = 0; configuration < 8; ++configuration) {
        const bool upgrade = configuration & 1, exchange = configuration & 2,
                   rejected = configuration & 4;
        auto prepare = [&] {
            reset(upgrade);
            files.exchangeUnsupported = !exchange;
            if (rejected) {
                rejectInstalled();
            }
        };
        prepare();
        installFailure();
        runLater();
        const std::vector<std::string> operations = files.log;
        for (std::size_t n = 1; n <= operations.size(); ++n) {
            for (const auto& fault : faultsFor(operations[n - 1])) {
                prepare();
                files.faults = {{static_cast<int>(n), fault}};
                std::string failure = installFailure();
                runLater();
                std::string label =
                    std::to_string(configuration) + ", " + std::strerror(fault.errnum) +
                    (fault.afterRunning ? " after " : " in ") + operations[n - 1] + ": " + failure;
                if (operations[n - 1].starts_with("sync") ||
                    operations[n - 1].starts_with("copy")) {
                    EXPECT_NE(failure, "passed") << label << ": a write that failed";
                }
                expectNothingLost(apps, failure, upgrade, fresh, old, label);
                ++cases;
            }
        }
    }
    std::cout << "fault-injection cases: " << cases << "\n";
    EXPECT_GT(cases, 200);
}

// The transaction with the real validation of signed bundles, and hooks at the instants a
// racer on the same machine would pick.
class SignedTransaction : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path source = dir / "Payload/Tessuro.app";
    fs::path apps = dir / "Applications";
    fs::path destination = apps / "Tessuro.app";
    const codesign::CodeSigning trust = test::TestPki::shared().service();
    test::RecordingFileSystem files;
    std::function<void(const fs::path&)> beforeCheck = [](const fs::path&) {};

    SignedTransaction() {
        test::makeSignedBundle(source, "2");
        copyOf(source, dir / "Genuine.app");
    }

    static void copyOf(const fs::path& from, const fs::path& to) {
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }

    InstallerTransaction::Result install() {
        return InstallerTransaction::install(
            source, destination,
            [this](int folder, const fs::path& bundle, codesign::VerificationSession* session) {
                beforeCheck(bundle);
                return PayloadValidation::validate(folder, bundle, trust, session);
            },
            {files, [](std::function<void()> job) { job(); }});
    }

    std::string installFailure() {
        return failureOf([this] { install(); });
    }

    // A copy of the payload with a program of someone else's in it, signed by nobody.
    void makeTampered(const fs::path& at) {
        copyOf(dir / "Genuine.app", at);
        test::writeFile(at / "Contents/MacOS/Tessuro", "#!/bin/sh\necho tampered\n");
    }
};

// Someone who may write the payload and rename in the destination folder puts a tampered
// tree at a name the install uses, at each instant between a check and a use: it is never
// installed and never handed on to be launched.
TEST_F(SignedTransaction, ATamperedTreeSwappedInAtAnyInstantIsNeverInstalled) {
    auto swapIn = [&](const fs::path& at) {
        return [this, at] {
            fs::rename(at, dir / "Moved.app");
            makeTampered(at);
        };
    };
    auto stagedName = [&] { return apps / test::hiddenItems(apps).at(0); };
    const auto genuine = treeSnapshot(source);
    makeTampered(dir / "Reference.app");
    const auto tampered = treeSnapshot(dir / "Reference.app");
    struct Row {
        const char* what;
        bool upgrade;
        std::string before;  // the file operation, or "check <name>" for a verification
        std::function<fs::path()> at;
        bool passes;  // with the genuine bundle installed
        bool exchange = true;
    };
    const std::vector<Row> rows{
        {"the payload, once opened", false, "copyTree", [&] { return source; }, true},
        {"the payload, while it is checked", true, "check Tessuro.app", [&] { return source; },
         true},
        {"the staged copy, while it is checked", true, "check .Tessuro", stagedName, false},
        {"the staged copy, right before the exchange", true, "exchange", stagedName, false},
        {"the staged copy, right before the move", false, "rename .Tessuro", stagedName, false},
        {"the staged copy, right before it moves in without an exchange", true, "rename .Tessuro",
         stagedName, false, false},
        {"the installed copy, while it is checked", true, "check Tessuro.app#2",
         [&] { return destination; }, false},
        {"the installed copy of a fresh install, while it is checked", false, "check Tessuro.app#2",
         [&] { return destination; }, false},
    };
    for (const Row& row : rows) {
        fs::remove_all(apps);
        fs::remove_all(dir / "Moved.app");
        fs::remove_all(source);
        copyOf(dir / "Genuine.app", source);
        fs::create_directories(apps);
        if (row.upgrade) {
            test::makeSignedBundle(destination, "1");
        }
        files.log.clear();
        files.exchangeUnsupported = !row.exchange;
        bool done = false;
        auto swapOnce = [&](const std::string& instant) {
            if (!done && instant.starts_with(row.before)) {
                done = true;
                swapIn(row.at())();
            }
        };
        int checksOfTheName = 0;
        beforeCheck = [&](const fs::path& bundle) {
            const std::string name = bundle.filename().string();
            const bool second = name == "Tessuro.app" && ++checksOfTheName == 2;
            swapOnce("check " + name + (second ? "#2" : ""));
        };
        files.beforeEach = swapOnce;
        std::optional<InstallerTransaction::Result> result;
        const std::string failure = failureOf([&] { result = install(); });
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(done) << "the instant never came";
        EXPECT_EQ(failure.starts_with("passed"), row.passes) << failure;
        if (row.passes) {
            EXPECT_EQ(treeSnapshot(destination), genuine);
            struct stat installed {};
            ASSERT_EQ(::fstat(result->installed.folder->get(), &installed), 0);
            EXPECT_EQ(identityOf(installed), identityOf(test::statOf(destination)));
        } else {
            EXPECT_TRUE(failure.starts_with(kChanged)) << failure;
            // A tampered tree at the destination is the racer's own doing, there or not.
            EXPECT_TRUE(row.at() == destination || treeSnapshot(destination) != tampered);
        }
        for (const std::string& hidden : test::hiddenItems(apps)) {
            EXPECT_NE(treeSnapshot(apps / hidden), genuine) << "a staged copy left: " << hidden;
        }
    }
}

// Whatever no seal covers keeps its content but not its execute bits: a program put beside
// the signature, in a store receipt, in a legacy CodeResources folder, or where the rules
// leave files out. What the seal covers keeps its modes.
TEST_F(SignedTransaction, FilesNoSealCoversAreInstalledWithoutExecuteBits) {
    const fs::path contents = source / "Contents";
    test::writeFile(contents / "Resources/tool.sh", "#!/bin/sh\n");
    ::chmod((contents / "Resources/tool.sh").c_str(), 0755);
    const auto& pki = test::TestPki::shared();
    codesign::signBundle(source, pki.identity(pki.leaf));
    const std::vector<std::string> unsealed{"_CodeSignature/helper",
                                            "_MASReceipt/bin/tool",
                                            "CodeResources/run",
                                            "MacOS/.DS_Store",
                                            "PkgInfo",
                                            "Resources/en.lproj/locversion.plist"};
    for (const std::string& item : unsealed) {
        if (!fs::exists(contents / item)) {
            test::writeFile(contents / item, "#!/bin/sh\necho unsealed\n");
        }
        ::chmod((contents / item).c_str(), 0755);
    }
    ASSERT_NO_THROW(PayloadValidation::validate(source, trust)) << "unsealed, not refused";

    const InstallerTransaction::Result result = install();
    const fs::path installed = destination / "Contents";
    for (const std::string& item : unsealed) {
        EXPECT_EQ(test::statOf(installed / item).st_mode & 07777, 0644u) << item;
    }
    for (const char* item : {"MacOS/Tessuro", "Resources/tool.sh", "MacOS", "_MASReceipt/bin"}) {
        EXPECT_EQ(test::statOf(installed / item).st_mode & 07777, 0755u) << item;
    }
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
    EXPECT_EQ(result.installed.verified.executable, "Contents/MacOS/Tessuro");
    EXPECT_EQ(result.installed.verified.buildNumber, "2");
    EXPECT_EQ(result.installed.verified.executableIdentity,
              identityOf(test::statOf(installed / "MacOS/Tessuro")));
    EXPECT_TRUE(result.installed.verified.unsealedExecutables.empty());
}

// Root installing into a user's own folder makes every item there as that user, and can do
// no more there than the user could.
TEST_F(SignedTransaction, AnInstallForAUserIsMadeWithThatUsersCredentials) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act for another user";
    }
    ::chmod(dir.path().c_str(), 0755);
    const fs::path home = dir / "home";
    fs::create_directories(home);
    ::chown(home.c_str(), test::nobodyUid(), static_cast<gid_t>(-1));
    destination = home / "Applications/Tessuro.app";
    {
        FilesAsUser asUser(test::nobodyWithHome(home));
        install();  // fresh, into a folder it makes
        install();  // an upgrade, whose backup it removes
    }
    std::vector<std::string> notTheUsers;
    for (const auto& entry : fs::recursive_directory_iterator(home / "Applications")) {
        if (test::statOf(entry.path()).st_uid != test::nobodyUid()) {
            notTheUsers.push_back(entry.path().string());
        }
    }
    EXPECT_EQ(notTheUsers, std::vector<std::string>{});
    EXPECT_TRUE(test::hiddenItems(home / "Applications").empty());

    // A folder of root's inside the user's folder is as closed to the install as to the user.
    // So is a payload the user may not read.
    fs::create_directories(home / "Closed");
    const fs::path readable = dir / "Readable/Tessuro.app";
    fs::create_directories(readable.parent_path());
    fs::rename(source, readable);
    fs::create_directories(source);
    ::chmod(source.parent_path().c_str(), 0700);
    FilesAsUser asUser(test::nobodyWithHome(home));
    EXPECT_EQ(installFailure(), "无法读取“" + source.string() + "”：没有访问权限");
    source = readable;
    destination = home / "Closed/Tessuro.app";
    EXPECT_EQ(installFailure(), "无法写入文件夹“" + (home / "Closed").string() + "”：没有访问权限");
}

// An install in a process that can start no thread, or only some (its user's process
// limit reached, or its task group full), still installs, fresh and over the version
// before: what would run beside the copy runs on the installing thread, and no exception
// of the standard library's, in English, reaches the window.
TEST_F(SignedTransaction, AnInstallWithoutAThreadToBeHadStillInstalls) {
    for (const auto& [name, failingFrom] : test::kThreadStartFailures) {
        fs::remove_all(apps);
        for (const char* over : {"fresh", "over the version before"}) {
            std::string outcome;
            {
                test::ThreadStartsFail threadsFail(failingFrom);
                outcome = installFailure();
            }
            EXPECT_EQ(outcome, "passed") << name << ", " << over;
            EXPECT_TRUE(treeSnapshot(destination) == treeSnapshot(source)) << name << ", " << over;
            EXPECT_TRUE(test::hiddenItems(apps).empty()) << name << ", " << over;
        }
    }
}

// Thousands of files in hundreds of folders copied and verified three times with the real
// validation, and few descriptors to spare: none is held per file or folder beyond its own
// step.
TEST(TransactionWithValidation, ABundleWithVeryManyFilesNeedsFewDescriptors) {
    test::TempDir dir;
    const fs::path payload = dir / "Payload/Tessuro.app";
    test::makeUnsignedBundle(payload);
    for (int i = 0; i < 3000; ++i) {
        test::writeFile(payload / "Contents/Resources/many" / std::to_string(i / 10) /
                            (std::to_string(i) + ".txt"),
                        std::to_string(i));
    }
    const auto& pki = test::TestPki::shared();
    codesign::signBundle(payload, pki.identity(pki.leaf));
    const codesign::CodeSigning trust = pki.service();
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit few = saved;
    few.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
    EXPECT_NO_THROW(InstallerTransaction::install(
        payload, dir / "Applications/Tessuro.app",
        [&](int folder, const fs::path& bundle, codesign::VerificationSession* session) {
            return PayloadValidation::validate(folder, bundle, trust, session);
        }));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(treeSnapshot(dir / "Applications/Tessuro.app"), treeSnapshot(payload));
}

}  // namespace
}  // namespace tessuro
