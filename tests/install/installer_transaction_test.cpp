// The install transaction on real folders under a temporary root, through counted file
// operations that can be made to fail.

#include "install/installer_transaction.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "platform/codesign/digest.h"
#include "platform/error.h"
#include "recording_file_system.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

using test::hiddenItems;
using test::treeSnapshot;
namespace fs = std::filesystem;

const std::string kChanged = "安装期间目标文件发生变化，未替换，请重试";
const std::string kRejected = "安装文件校验未通过，请重新下载安装包";

class Transaction : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path source = dir / "Installer.app/Contents/Resources/Payload/Tessuro.app";
    fs::path apps = dir / "Applications";
    fs::path destination = apps / "Tessuro.app";
    test::RecordingFileSystem files;
    std::vector<std::function<void()>> later;
    std::vector<fs::path> verified;
    std::vector<codesign::DigestCache*> memos;  // the digest memo each check was given
    std::function<void(const fs::path&)> onVerify = [](const fs::path&) {};

    void SetUp() override { test::makeTessuroBundle(source, "2"); }

    std::optional<fs::path> install() {
        InstallerTransaction::Environment environment{
            files, [this](std::function<void()> job) { later.push_back(std::move(job)); }};
        return InstallerTransaction::install(
            source, destination,
            [this](const fs::path& bundle) {
                verified.push_back(bundle);
                memos.push_back(codesign::digestsInUse());
                onVerify(bundle);
            },
            environment);
    }

    // The message of the failure, or "passed".
    std::string installFailure() {
        try {
            install();
        } catch (const Error& error) {
            return error.localizedDescription();
        }
        return "passed";
    }

    void runLater() {
        for (auto& job : later) {
            job();
        }
        later.clear();
    }

    void rejectWhenVerifying(const fs::path& bundle) {
        onVerify = [bundle](const fs::path& p) {
            if (p == bundle) {
                throw installerError(kRejected, 2);
            }
        };
    }
    void rejectStagedCopy() {
        onVerify = [](const fs::path& p) {
            if (p.filename().string().rfind(".Tessuro-安装中-", 0) == 0) {
                throw installerError(kRejected, 2);
            }
        };
    }
};

TEST_F(Transaction, FreshInstallCreatesTheFolderAndLeavesNothingHidden) {
    EXPECT_EQ(install(), std::nullopt);
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
    EXPECT_TRUE(hiddenItems(apps).empty());
    EXPECT_TRUE(later.empty());

    ASSERT_EQ(verified.size(), 3u);
    EXPECT_EQ(verified[0], source);
    EXPECT_EQ(verified[1].parent_path(), apps);
    EXPECT_TRUE(std::regex_match(
        verified[1].filename().string(),
        std::regex("\\.Tessuro-安装中-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                   "[0-9A-F]{12}\\.app")));
    EXPECT_EQ(verified[2], destination);

    // The staged and the installed copy are the installer's own files and share one memo;
    // the payload, which others may write, is read in full.
    ASSERT_EQ(memos.size(), 3u);
    EXPECT_EQ(memos[0], nullptr);
    EXPECT_NE(memos[1], nullptr);
    EXPECT_EQ(memos[2], memos[1]);
}

TEST_F(Transaction, UpgradeSwapsOnDiskAndRemovesTheBackupAfterwards) {
    test::makeTessuroBundle(destination, "1");
    auto old = treeSnapshot(destination);

    std::optional<fs::path> backup = install();
    ASSERT_TRUE(backup.has_value());
    std::string uuid =
        verified[1].filename().string().substr(std::string(".Tessuro-安装中-").size(), 36);
    EXPECT_EQ(*backup, apps / (".Tessuro-旧版-" + uuid + ".previous"));
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
    EXPECT_EQ(treeSnapshot(*backup), old) << "the result names the replaced bundle";

    runLater();
    EXPECT_FALSE(fs::exists(*backup));
    EXPECT_TRUE(hiddenItems(apps).empty());
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));

    // The removal of the replaced bundle removes it only: another folder put at its hidden
    // name meanwhile stays, and so does the bundle wherever it was moved.
    backup = install();
    ASSERT_TRUE(backup.has_value());
    auto replaced = treeSnapshot(*backup);
    fs::rename(*backup, dir / "Moved.previous");
    test::writeFile(*backup / "note.txt", "someone else's");
    runLater();
    EXPECT_EQ(treeSnapshot(*backup),
              (std::map<std::string, std::string>{{"note.txt", "file:someone else's"}}));
    EXPECT_EQ(treeSnapshot(dir / "Moved.previous"), replaced);
    fs::remove_all(*backup);

    // The staged copy is on disk before the swap, and the swap before the last check.
    auto position = [&](const std::string& prefix) {
        return std::find_if(files.log.begin(), files.log.end(),
                            [&](const std::string& op) { return op.rfind(prefix, 0) == 0; }) -
               files.log.begin();
    };
    EXPECT_LT(position("syncFileSystem"), position("exchange .Tessuro-安装中-"));
    EXPECT_LT(position("exchange .Tessuro-安装中-"), position("syncDirectory"));
}

TEST_F(Transaction, RefusesBeforeWritingAnything) {
    const std::string self = "不能用安装源替换它自己";
    for (fs::path spelling :
         {source, source / ".", source.parent_path() / "../Payload/./Tessuro.app",
          source / "Contents/.."}) {
        destination = spelling;
        EXPECT_EQ(installFailure(), self) << spelling;
    }
    // The same folder through a link is still the source.
    fs::create_directory_symlink(source.parent_path(), dir / "Linked");
    destination = dir / "Linked/Tessuro.app";
    EXPECT_EQ(installFailure(), self);
    EXPECT_TRUE(verified.empty()) << "refused before any verification";

    destination = apps / "Tessuro.app";
    struct Case {
        std::function<void()> make;
        std::string message;
    };
    std::vector<Case> cases{
        {[&] { test::writeFile(destination, "a file"); }, "同名位置不是应用目录，未替换原文件"},
        {[&] {
             test::makeTessuroBundle(dir / "Elsewhere.app", "1");
             fs::create_directory_symlink(dir / "Elsewhere.app", destination);
         },
         "同名位置不是应用目录，未替换原文件"},
        {[&] { fs::create_directories(destination / "Contents"); },
         "无法读取“" + (destination / "Contents/Info.plist").string() + "”：文件或文件夹不存在"},
        {[&] {
             test::writeInfoPlist(destination, {{"CFBundleIdentifier", "com.example.other"}});
         },
         "同名位置不是Tessuro，未替换原文件"},
    };
    for (const Case& c : cases) {
        fs::remove_all(apps);
        fs::remove_all(dir / "Elsewhere.app");
        fs::create_directories(apps);
        c.make();
        auto before = treeSnapshot(apps);
        EXPECT_EQ(installFailure(), c.message);
        EXPECT_EQ(treeSnapshot(apps), before) << c.message;
    }
}

TEST_F(Transaction, VerificationFailuresLeaveTheDestinationAsItWas) {
    rejectWhenVerifying(source);
    EXPECT_EQ(installFailure(), kRejected);
    EXPECT_FALSE(fs::exists(destination));

    test::makeTessuroBundle(destination, "1");
    auto old = treeSnapshot(destination);
    rejectStagedCopy();
    EXPECT_EQ(installFailure(), kRejected);
    EXPECT_EQ(treeSnapshot(destination), old);
    EXPECT_TRUE(hiddenItems(apps).empty());

    // Rejected after the swap: the previous bundle comes back, the rejected one goes.
    rejectWhenVerifying(destination);
    EXPECT_EQ(installFailure(), kRejected);
    EXPECT_EQ(treeSnapshot(destination), old);
    EXPECT_TRUE(hiddenItems(apps).empty());

    fs::remove_all(destination);
    EXPECT_EQ(installFailure(), kRejected);
    EXPECT_FALSE(fs::exists(destination)) << "a fresh install leaves nothing rejected behind";
    EXPECT_TRUE(hiddenItems(apps).empty());

    files.exchangeUnsupported = true;
    test::makeTessuroBundle(destination, "1");
    EXPECT_EQ(installFailure(), kRejected);
    EXPECT_EQ(treeSnapshot(destination), old) << "restored with two moves";
    EXPECT_TRUE(hiddenItems(apps).empty());

    onVerify = [](const fs::path&) {};
    ASSERT_TRUE(install().has_value()) << "two moves also install";
    runLater();
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
    EXPECT_TRUE(hiddenItems(apps).empty());
}

// The installed copy is rejected while the destination changes under the last check: the
// user reads the rejection, and the previous version comes back wherever it can.
TEST_F(Transaction, TheRollbackRestoresWhateverStandsAtTheDestination) {
    auto rejectInstalledAfter = [&](std::function<void()> change) {
        onVerify = [this, change](const fs::path& p) {
            if (p == destination) {
                change();
                throw installerError(kRejected, 2);
            }
        };
    };
    for (bool exchange : {true, false}) {
        files.exchangeUnsupported = !exchange;
        // The new copy vanished: the previous one is moved back where nothing stands.
        fs::remove_all(apps);
        test::makeTessuroBundle(destination, "1");
        auto old = treeSnapshot(destination);
        rejectInstalledAfter([&] { fs::rename(destination, dir / "Vanished.app"); });
        EXPECT_EQ(installFailure(), kRejected);
        EXPECT_EQ(treeSnapshot(destination), old);
        EXPECT_TRUE(hiddenItems(apps).empty());
        EXPECT_EQ(treeSnapshot(dir / "Vanished.app"), treeSnapshot(source)) << "not ours to remove";
        fs::remove_all(dir / "Vanished.app");

        // Something else stands there: it stays, and the previous version waits, named.
        test::writeInfoPlist(dir / "Foreign.app", {{"CFBundleIdentifier", "com.example.other"}});
        auto foreign = treeSnapshot(dir / "Foreign.app");
        rejectInstalledAfter([&] {
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
    fs::remove_all(apps);
    rejectInstalledAfter([&] { fs::rename(destination, dir / "Vanished.app"); });
    EXPECT_EQ(installFailure(), kRejected);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_TRUE(hiddenItems(apps).empty());
}

TEST_F(Transaction, ChangesAtTheDestinationDuringTheInstallAreRefused) {
    auto whenStaged = [&](std::function<void()> change) {
        onVerify = [change](const fs::path& p) {
            if (p.filename().string().rfind(".Tessuro-安装中-", 0) == 0) {
                change();
            }
        };
    };
    fs::create_directories(apps);

    // Created where nothing was.
    whenStaged([&] { fs::create_directory(destination); });
    EXPECT_EQ(installFailure(), kChanged);
    EXPECT_TRUE(fs::is_empty(destination));
    EXPECT_TRUE(hiddenItems(apps).empty());

    // Removed.
    fs::remove_all(destination);
    test::makeTessuroBundle(destination, "1");
    whenStaged([&] { fs::rename(destination, dir / "Taken.app"); });
    EXPECT_EQ(installFailure(), kChanged);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_TRUE(hiddenItems(apps).empty());

    // Exchanged for another bundle.
    test::makeTessuroBundle(destination, "1");
    test::makeTessuroBundle(dir / "Other.app", "3");
    auto other = treeSnapshot(dir / "Other.app");
    whenStaged([&] {
        fs::rename(destination, dir / "Taken2.app");
        fs::rename(dir / "Other.app", destination);
    });
    EXPECT_EQ(installFailure(), kChanged);
    EXPECT_EQ(treeSnapshot(destination), other);
    EXPECT_TRUE(hiddenItems(apps).empty());

    // Exchanged after the last check, right before the swap: the swap is undone.
    onVerify = [](const fs::path&) {};
    test::makeTessuroBundle(dir / "Other.app", "3");
    files.beforeEach = [&](const std::string& op) {
        if (op.rfind("exchange .Tessuro-安装中-", 0) == 0 && fs::exists(dir / "Other.app")) {
            fs::rename(destination, dir / "Taken3.app");
            fs::rename(dir / "Other.app", destination);
        }
    };
    EXPECT_EQ(installFailure(), kChanged);
    EXPECT_EQ(treeSnapshot(destination), other);
    EXPECT_TRUE(hiddenItems(apps).empty());

    // Gone right before the exchange.
    files.beforeEach = [&](const std::string& op) {
        if (op.rfind("exchange .Tessuro-安装中-", 0) == 0) {
            fs::rename(destination, dir / "Taken4.app");
        }
    };
    EXPECT_EQ(installFailure(), kChanged);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_EQ(treeSnapshot(dir / "Taken4.app"), other);
    EXPECT_TRUE(hiddenItems(apps).empty());

    // Exchanged right before the swap, and the exchange back fails: the new copy stays in
    // place, and the message says so and where the other item went.
    fs::rename(dir / "Taken4.app", destination);
    test::makeTessuroBundle(dir / "Other.app", "4");
    auto fourth = treeSnapshot(dir / "Other.app");
    int exchanges = 0;
    files.beforeEach = [&](const std::string& op) {
        if (op.rfind("exchange ", 0) == 0 && ++exchanges == 1) {
            fs::rename(destination, dir / "Taken5.app");
            fs::rename(dir / "Other.app", destination);
        } else if (op.rfind("exchange ", 0) == 0) {
            throw Error(std::string(kPosixErrorDomain), EIO, "exchange failed");
        }
    };
    std::string failure = installFailure();
    ASSERT_EQ(hiddenItems(apps).size(), 1u);
    fs::path movedTo = apps / hiddenItems(apps)[0];
    EXPECT_EQ(failure, "安装期间目标文件发生变化：新版本已安装，原位置的项目已移到“" +
                           movedTo.string() + "”");
    EXPECT_EQ(treeSnapshot(movedTo), fourth);
    EXPECT_EQ(treeSnapshot(destination), treeSnapshot(source));
    fs::remove_all(movedTo);

    // Without an exchange, whatever is moved aside is compared with what was inspected,
    // and goes back if it is something else.
    files.exchangeUnsupported = true;
    test::makeTessuroBundle(dir / "Other.app", "5");
    auto fifth = treeSnapshot(dir / "Other.app");
    files.beforeEach = [&](const std::string& op) {
        if (op.rfind("rename Tessuro.app .Tessuro-旧版-", 0) == 0) {
            fs::rename(destination, dir / "Taken6.app");
            fs::rename(dir / "Other.app", destination);
        }
    };
    EXPECT_EQ(installFailure(), kChanged);
    EXPECT_EQ(treeSnapshot(destination), fifth);
    EXPECT_TRUE(hiddenItems(apps).empty());
    files.exchangeUnsupported = false;

    // An empty folder appearing right before a fresh install's move is not replaced.
    fs::remove_all(destination);
    files.beforeEach = [&](const std::string& op) {
        if (op.rfind("rename .Tessuro-安装中-", 0) == 0) {
            fs::create_directory(destination);
        }
    };
    EXPECT_EQ(installFailure(), kChanged);
    EXPECT_TRUE(fs::is_empty(destination));
    EXPECT_TRUE(hiddenItems(apps).empty());
}

// The Info.plist that decides whether the destination may be replaced is read through the
// folder whose identity was taken, without waiting on a FIFO.
TEST_F(Transaction, TheDestinationsInfoPlistIsReadFromTheInspectedFolderOnly) {
    fs::create_directories(destination / "Contents");
    test::makeFifo(destination / "Contents/Info.plist");
    std::string failure;
    EXPECT_TRUE(test::endsWithin(2, destination / "Contents/Info.plist",
                                 [&] { failure = installFailure(); }));
    EXPECT_EQ(failure, "无法读取“" + (destination / "Contents/Info.plist").string() +
                           "”：它不是普通文件（可能是管道或设备文件）");
    EXPECT_TRUE(hiddenItems(apps).empty());

    // A foreign folder, with a Tessuro folder put at its name only while the Info.plist is
    // read: the foreign folder's own Info.plist decides.
    fs::remove_all(destination);
    test::writeInfoPlist(destination, {{"CFBundleIdentifier", "com.example.other"}});
    auto foreign = treeSnapshot(destination);
    test::makeTessuroBundle(dir / "Decoy.app", "1");
    files.beforeEach = [&](const std::string& op) {
        if (op.rfind("readFileAt", 0) == 0) {
            fs::rename(destination, dir / "Foreign.app");
            fs::rename(dir / "Decoy.app", destination);
        }
    };
    EXPECT_EQ(installFailure(), "同名位置不是Tessuro，未替换原文件");
    EXPECT_EQ(treeSnapshot(dir / "Foreign.app"), foreign);
    EXPECT_TRUE(hiddenItems(apps).empty());
}

TEST_F(Transaction, ADanglingLinkAtTheDestinationIsNeitherReplacedNorFollowed) {
    fs::create_directories(apps);
    fs::create_symlink(dir / "nowhere", destination);
    std::string failure = installFailure();
    EXPECT_NE(failure.find("同名项目已存在"), std::string::npos) << failure;
    EXPECT_EQ(fs::read_symlink(destination), dir / "nowhere");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_TRUE(hiddenItems(apps).empty());
}

TEST_F(Transaction, SpecialFilesOrTooDeepATreeFailTheCopyCleanly) {
    ASSERT_EQ(::mkfifo((source / "Contents/Resources/pipe").c_str(), 0644), 0);
    test::makeTessuroBundle(destination, "1");
    auto old = treeSnapshot(destination);
    std::string failure = installFailure();
    EXPECT_NE(failure.find("不支持的特殊文件"), std::string::npos) << failure;
    EXPECT_NE(failure.find((source / "Contents/Resources/pipe").string()), std::string::npos);
    EXPECT_EQ(treeSnapshot(destination), old);
    EXPECT_TRUE(hiddenItems(apps).empty());

    // Deeper than the copy goes: refused, and the part already copied removed.
    fs::remove(source / "Contents/Resources/pipe");
    fs::path deep = source / "Contents/Resources";
    for (int level = 0; level < 300; ++level) {
        deep /= "d";
    }
    fs::create_directories(deep);
    failure = installFailure();
    EXPECT_NE(failure.find("文件夹层级过深"), std::string::npos) << failure;
    EXPECT_EQ(treeSnapshot(destination), old);
    EXPECT_TRUE(hiddenItems(apps).empty());
}

// The faults a disk really gives each kind of operation: before it runs, and for those
// that write, after (a copy cut short, a write-back that failed, a removal that stopped).
std::vector<test::RecordingFileSystem::Fault> faultsFor(const std::string& operation) {
    auto is = [&](const char* kind) { return operation.rfind(kind, 0) == 0; };
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

// Each file operation of a whole install fails in turn with each of its faults, also while
// the installed copy is being rejected, so that the rollback's own steps fail too. Whatever
// fails, the previous bundle is never lost: the destination holds it, or the previous
// bundle waits under a hidden name that the message gives. The destination holds nothing
// else but the new bundle, complete, and then no message says that nothing was replaced.
TEST_F(Transaction, AFailureOfAnyFileOperationLosesNothing) {
    const auto fresh = treeSnapshot(source);
    test::makeTessuroBundle(dir / "Old.app", "1");
    const auto old = treeSnapshot(dir / "Old.app");
    int cases = 0;

    for (bool upgrade : {false, true}) {
        for (bool exchange : {true, false}) {
            for (bool rejected : {false, true}) {
                auto reset = [&] {
                    fs::remove_all(apps);
                    if (upgrade) {
                        test::makeTessuroBundle(destination, "1");
                    } else {
                        fs::create_directories(apps);
                    }
                    files.log.clear();
                    files.faults.clear();
                    files.exchangeUnsupported = !exchange;
                    onVerify = [](const fs::path&) {};
                    if (rejected) {
                        rejectWhenVerifying(destination);
                    }
                };
                reset();
                installFailure();
                runLater();
                const std::vector<std::string> operations = files.log;

                for (std::size_t n = 1; n <= operations.size(); ++n) {
                    for (const auto& fault : faultsFor(operations[n - 1])) {
                        reset();
                        files.faults = {{static_cast<int>(n), fault}};
                        std::string failure = installFailure();
                        runLater();
                        std::string label = std::string(upgrade ? "upgrade" : "fresh") +
                                            (exchange ? "" : " without exchange") +
                                            (rejected ? ", rejected" : "") + ", " +
                                            std::strerror(fault.errnum) +
                                            (fault.afterRunning ? " after " : " in ") +
                                            operations[n - 1] + ": " + failure;
                        auto now = treeSnapshot(destination);
                        bool previousNamed = false;
                        for (const std::string& hidden : hiddenItems(apps)) {
                            previousNamed |= treeSnapshot(apps / hidden) == old &&
                                             failure.find(hidden) != std::string::npos;
                        }
                        const std::string& operation = operations[n - 1];
                        if (operation.rfind("sync", 0) == 0 || operation.rfind("copy", 0) == 0) {
                            EXPECT_NE(failure, "passed") << label << ": a write that failed";
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
                        ++cases;
                    }
                }
            }
        }
    }
    std::cout << "fault-injection cases: " << cases << "\n";
    EXPECT_GT(cases, 200);
}

}  // namespace
}  // namespace tessuro
