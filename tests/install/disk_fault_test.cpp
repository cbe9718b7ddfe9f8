// Disk faults on real small file systems, in a child process with a private mount namespace
// (root only): a full disk, a read-only one, and one that fails under the writes. What the
// system itself reports reaches the window in its language, and no write it refused counts
// as done.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "install/product.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "recording_file_system.h"
#include "signing_fixtures.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

// The threads of this process, once those that are ending have gone (up to a second): a
// child forked beside another thread could find a lock that thread held, held for good.
std::size_t threadsAfterEnding() {
    std::size_t count = 0;
    for (int tries = 0; tries < 100; ++tries) {
        count = 0;
        for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task")) {
            ++count;
        }
        if (count == 1) {
            break;
        }
        ::usleep(10'000);
    }
    return count;
}

// In the child: the shell commands of `setup` in a private mount namespace, then `work`.
// Nothing leaves as an exception, which would run the rest of the suite in the child.
std::string inPrivateNamespace(const std::string& setup,
                               const std::function<std::string()>& work) noexcept {
    try {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return "no private mount namespace";
        }
        const int status = std::system(("set -e; " + setup).c_str());
        return status == 0 ? work() : "setup exited " + std::to_string(WEXITSTATUS(status));
    } catch (const std::exception& error) {
        return std::string("exception in the child: ") + error.what();
    } catch (...) {
        return "exception in the child";
    }
}

// In a child process with a private mount namespace, which ends with it and takes its
// mounts along: the shell commands of `setup`, then `work`, whose answer comes back;
// "setup exited N" when the commands fail. A child that hangs is ended after a minute.
std::string inNamespace(const std::string& setup, const std::function<std::string()>& work) {
    if (const std::size_t threads = threadsAfterEnding(); threads != 1) {
        return std::to_string(threads) + " threads running: no fork";
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return "no fork";
    }
    if (child == 0) {
        ::alarm(60);
        const std::string answer = inPrivateNamespace(setup, work);
        (void)!::write(out[1], answer.data(), answer.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        answer += "child ended by signal " + std::to_string(WTERMSIG(status));
    }
    return answer;
}

class DiskFault : public ::testing::Test {
protected:
    test::TempDir dir;
    const fs::path apps = dir / "Applications", destination = apps / "Tessuro.app";
    const fs::path oldBundle = dir / "old/Tessuro.app", newBundle = dir / "new/Tessuro.app";
    const std::string putOld = "cp -a " + quoted(oldBundle) + " " + quoted(destination);

    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for mounts in a private namespace";
        }
        fs::create_directories(apps);
        test::makeSignedBundle(oldBundle, "1");
        test::makeUnsignedBundle(newBundle, "2");
        test::writeFile(newBundle / "Contents/Resources/media/movie.bin",
                        std::string(6u << 20, 'm'));
        const auto& pki = test::TestPki::shared();
        codesign::signBundle(newBundle, pki.identity(pki.leaf));
    }

    static VerifiedBundle validate(int folder, const fs::path& bundle,
                                   codesign::VerificationSession* session) {
        return PayloadValidation::validate(folder, bundle, test::TestPki::shared().service(),
                                           session);
    }

    // The transaction with the real validation, the disk failed by writing to `trigger`
    // right before the first operation whose log entry begins with `failBefore`: "ok" or
    // "error: <the window's text>", then the destination's build number (or "absent") and
    // the number of hidden items beside it.
    std::string install(std::string failBefore = "", const std::string& trigger = "") const {
        test::RecordingFileSystem files;
        files.beforeEach = [&](const std::string& operation) {
            if (!failBefore.empty() && operation.starts_with(failBefore)) {
                std::ofstream(trigger) << "failing disk\n";
                failBefore.clear();
            }
        };
        std::vector<std::function<void()>> later;
        std::string answer = "ok";
        try {
            InstallerTransaction::install(
                newBundle, destination, validate,
                {files, [&](std::function<void()> job) { later.push_back(std::move(job)); }});
            for (auto& job : later) {
                job();
            }
        } catch (const Error& error) {
            answer = "error: " + error.localizedDescription();
        }
        return answer + "\ndestination: " +
               (fs::exists(destination)
                    ? bundleInfoString(destination, "CFBundleVersion").value_or("?")
                    : "absent") +
               "\nhidden: " + std::to_string(test::hiddenItems(apps).size()) + "\n";
    }
};

TEST_F(DiskFault, AFullOrReadOnlyDiskLeavesThePreviousVersion) {
    const std::string tmpfs = "mount -t tmpfs -o size=";
    const std::string folder = "error: 无法写入文件夹“" + apps.string() + "”：";
    for (const auto& [setup, reason] :
         {std::pair{tmpfs + "3m tessuro-test " + quoted(apps) + "; " + putOld,
                    folder + "磁盘空间不足"},
          std::pair{tmpfs + "64m tessuro-test " + quoted(apps) + "; " + putOld +
                        "; mount -o remount,ro " + quoted(apps),
                    folder + "磁盘是只读的"}}) {
        const std::string report = inNamespace(setup, [&] { return install(); });
        EXPECT_EQ(report, reason + "\ndestination: 1\nhidden: 0\n");
    }
}

// A disk that fails under the transaction: an ext4 image on a loop device, mounted with
// errors=remount-ro, whose journal is aborted right before a sync. Nothing the disk did not
// confirm counts as done: the run fails, and once the disk is mounted again, after a
// check, the destination holds a complete bundle (the previous one, unless the journal
// happened to commit the swap before it was aborted).
TEST_F(DiskFault, AWriteThatNeverReachesTheDiskIsNoSuccess) {
    const fs::path image = dir / "disk.img";
    const std::string mount = "mount -o loop,errors=remount-ro " + quoted(image) + " " +
                              quoted(apps) + " 2> /dev/null || exit 77; ";
    for (const char* before : {"syncFileSystem", "syncDirectory"}) {
        const std::string makeDisk = "rm -f " + quoted(image) + "; truncate -s 96M " +
                                     quoted(image) + " && mkfs.ext4 -q -F " + quoted(image);
        if (std::system((makeDisk + " > /dev/null 2>&1").c_str()) != 0) {
            GTEST_SKIP() << "mkfs.ext4 is not available";
        }
        const fs::path device = dir / "device";
        const std::string setup = mount + putOld + "; sync; basename $(findmnt -no SOURCE " +
                                  quoted(apps) + ") > " + quoted(device);
        const std::string report = inNamespace(setup, [&] {
            std::string name;
            std::ifstream(device) >> name;
            if (!name.starts_with("loop")) {
                return "not the test's loop device: " + name;  // never fail another disk
            }
            return install(before, "/sys/fs/ext4/" + name + "/trigger_fs_error");
        });
        if (report == "setup exited 77") {
            GTEST_SKIP() << "no loop device here";
        }
        EXPECT_NE(report.find("error: 无法写入磁盘"), std::string::npos)
            << before << ": " << report;
        EXPECT_NE(report.find("磁盘是只读的"), std::string::npos) << before << ": " << report;
        // What reached the disk, seen after a check and a fresh mount.
        const std::string disk =
            inNamespace("e2fsck -fy " + quoted(image) + " > /dev/null 2>&1 || true; " + mount, [&] {
                try {
                    PayloadValidation::validate(destination, test::TestPki::shared().service());
                } catch (const Error& error) {
                    return error.localizedDescription();
                }
                return std::string("valid");
            });
        EXPECT_EQ(disk, "valid") << before;
    }
}

// Below `root`, the item `name` and everything under it, read through whatever is mounted
// there: "cache=dir cache/note.txt=file:kept ".
std::string itemsAt(const fs::path& root, const std::string& name) {
    std::string items;
    for (const auto& [path, item] : test::treeSnapshot(root)) {
        if (path == name || path.starts_with(name + "/")) {
            items += path + "=" + item + " ";
        }
    }
    return items;
}

// A mount inside the replaced bundle, a file system of its own or a folder or a file of the
// same one bound there, is never entered: the new version is installed, everything on the
// mount stays, and the replaced bundle, which cannot go whole, stays under its hidden name.
// A later removal of it says which mount it left.
TEST_F(DiskFault, AMountInsideTheReplacedBundleIsNeverEntered) {
    const fs::path resources = destination / "Contents/Resources", cache = resources / "cache";
    // Each row on a fresh disk, which also holds what the bind mounts show.
    const std::string disk =
        "mount -t tmpfs -o size=64m tessuro-test " + quoted(apps) + "; " + putOld + "; ";
    const fs::path shared = apps / "shared", notes = apps / "notes.txt";
    const auto fill = [](const fs::path& folder) {
        return "mkdir -p " + quoted(folder / "sub") + "; printf kept > " +
               quoted(folder / "note.txt") + "; printf deep > " + quoted(folder / "sub/deep.txt");
    };
    const std::string folderKept =
        "cache=dir cache/note.txt=file:kept cache/sub=dir cache/sub/deep.txt=file:deep ";
    struct Row {
        const char* name;
        std::string mounted;  // below Contents/Resources
        std::string setup;
        std::string kept;
    };
    for (const Row& row : {
             Row{"a tmpfs", "cache",
                 disk + "mkdir -p " + quoted(cache) + "; mount -t tmpfs -o size=1m tessuro-test " +
                     quoted(cache) + "; " + fill(cache),
                 folderKept},
             Row{"a folder of the same file system, bound", "cache",
                 disk + "mkdir -p " + quoted(cache) + "; " + fill(shared) + "; mount --bind " +
                     quoted(shared) + " " + quoted(cache),
                 folderKept},
             Row{"a file of the same file system, bound", "notes.txt",
                 disk + "printf kept > " + quoted(notes) + "; touch " +
                     quoted(resources / "notes.txt") + "; mount --bind " + quoted(notes) + " " +
                     quoted(resources / "notes.txt"),
                 "notes.txt=file:kept "},
         }) {
        const std::string report = inNamespace(row.setup, [&] {
            std::string answer = install();
            const std::vector<std::string> hidden = test::hiddenItems(apps);
            if (hidden.size() != 1) {
                return answer;
            }
            const fs::path previous = fs::canonical(apps) / hidden.front();
            answer += "kept: " + itemsAt(previous / "Contents/Resources", row.mounted) + "\n";
            struct stat item {};
            if (::lstat(previous.c_str(), &item) != 0) {
                return answer + "gone";
            }
            try {
                UniqueFd folder = systemFileSystem().openDirectory(apps);
                systemFileSystem().removeTree(folder.get(), hidden.front(), identityOf(item));
                return answer + "removed after all";
            } catch (const Error& error) {
                std::string said = error.localizedDescription();
                if (std::size_t at = said.find(previous.string()); at != std::string::npos) {
                    said.replace(at, previous.string().size(), "<hidden>");
                }
                return answer + said;
            }
        });
        EXPECT_EQ(report, "ok\ndestination: 2\nhidden: 1\nkept: " + row.kept +
                              "\n无法删除“<hidden>/Contents/Resources/" + row.mounted +
                              "”：它是一个挂载点，安装程序不会删除挂载在这里的内容")
            << row.name;
    }
}

}  // namespace
}  // namespace tessuro
