// The install transaction on real folders under a temporary root, through counted file
// operations that can be made to fail.

#include "install/installer_transaction.h"

#include <gtest/gtest.h>

#include <regex>

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
    std::function<void(const fs::path&)> onVerify = [](const fs::path&) {};

    void SetUp() override { test::makeTessuroBundle(source, "2"); }

    std::optional<fs::path> install() {
        InstallerTransaction::Environment environment{
            files, [this](std::function<void()> job) { later.push_back(std::move(job)); }};
        return InstallerTransaction::install(
            source, destination,
            [this](const fs::path& bundle) {
                verified.push_back(bundle);
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

    // The staged copy is on disk before the swap, and the swap before the last check.
    auto position = [&](const std::string& prefix) {
        return std::find_if(files.log.begin(), files.log.end(),
                            [&](const std::string& op) { return op.rfind(prefix, 0) == 0; }) -
               files.log.begin();
    };
    EXPECT_LT(position("syncTree .Tessuro-安装中-"), position("exchange .Tessuro-安装中-"));
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

TEST_F(Transaction, SpecialFilesInThePayloadFailTheCopyCleanly) {
    ASSERT_EQ(::mkfifo((source / "Contents/Resources/pipe").c_str(), 0644), 0);
    test::makeTessuroBundle(destination, "1");
    auto old = treeSnapshot(destination);
    std::string failure = installFailure();
    EXPECT_NE(failure.find("不支持的特殊文件"), std::string::npos) << failure;
    EXPECT_NE(failure.find((source / "Contents/Resources/pipe").string()), std::string::npos);
    EXPECT_EQ(treeSnapshot(destination), old);
    EXPECT_TRUE(hiddenItems(apps).empty());
}

// Each file operation of a whole install fails in turn; after each, the destination holds
// the previous or the new bundle, complete, and nothing of the run stays hidden beside it.
TEST_F(Transaction, AFailureOfAnyFileOperationLosesNothing) {
    auto fresh = treeSnapshot(source);
    test::makeTessuroBundle(dir / "Old.app", "1");
    auto old = treeSnapshot(dir / "Old.app");
    int cases = 0;

    for (bool upgrade : {false, true}) {
        for (bool exchange : {true, false}) {
            auto reset = [&] {
                fs::remove_all(apps);
                if (upgrade) {
                    test::makeTessuroBundle(destination, "1");
                } else {
                    fs::create_directories(apps);
                }
                files.log.clear();
                files.failAt.clear();
                files.exchangeUnsupported = !exchange;
            };
            reset();
            install();
            runLater();
            int total = files.count();
            std::vector<std::string> operations = files.log;

            for (int n = 1; n <= total; ++n) {
                reset();
                files.failAt = {n};
                std::string failure = installFailure();
                runLater();
                std::string label = (upgrade ? "upgrade" : "fresh") +
                                    std::string(exchange ? "" : " without exchange") +
                                    ", failing " + operations[n - 1];
                auto now = treeSnapshot(destination);
                if (failure == "passed") {
                    EXPECT_EQ(now, fresh) << label;
                    // Only a failed removal of the backup may leave it behind.
                    EXPECT_LE(hiddenItems(apps).size(), 1u) << label;
                } else {
                    EXPECT_EQ(failure, "injected failure of operation " + std::to_string(n))
                        << label;
                    EXPECT_EQ(now, upgrade ? old : decltype(old){}) << label;
                    EXPECT_TRUE(hiddenItems(apps).empty()) << label;
                }
                ++cases;
            }

            // The same with the installed copy rejected, so that the restore's own steps
            // fail in turn: the previous bundle is never lost.
            if (!upgrade) {
                continue;
            }
            reset();
            rejectWhenVerifying(destination);
            installFailure();
            int restoreTotal = files.count();
            int firstRestoreStep =
                static_cast<int>(std::find(files.log.begin(), files.log.end(), "syncDirectory") -
                                 files.log.begin()) +
                2;
            for (int n = firstRestoreStep; n <= restoreTotal; ++n) {
                reset();
                files.failAt = {n};
                std::string failure = installFailure();
                std::string label = "restore, failing " + files.log[n - 1];
                EXPECT_NE(failure, "passed") << label;
                auto now = treeSnapshot(destination);
                std::vector<std::string> hidden = hiddenItems(apps);
                EXPECT_LE(hidden.size(), 1u) << label;
                if (exchange) {
                    EXPECT_EQ(now, old) << label;
                } else {
                    // Two moves can fail half-way, as the rollback allows: the rejected
                    // copy stays in place, or the destination is empty; the previous
                    // bundle then waits under its hidden name.
                    bool oldHidden = hidden.size() == 1 && treeSnapshot(apps / hidden[0]) == old;
                    EXPECT_TRUE(now == old || ((now == fresh || now.empty()) && oldHidden))
                        << label;
                }
                ++cases;
            }
            onVerify = [](const fs::path&) {};
        }
    }
    RecordProperty("fault_cases", cases);
    std::cout << "fault-injection cases: " << cases << "\n";
    EXPECT_GT(cases, 40);
}

}  // namespace
}  // namespace tessuro
