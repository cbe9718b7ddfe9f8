// Disk faults on real small file systems in a private mount namespace (root only): a full
// disk, a read-only one, and one that fails under the writes. What the system itself
// reports reaches the window in its language, and no write it refused counts as done.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "child_process.h"
#include "install/payload_validation.h"
#include "install/product.h"
#include "signing_fixtures.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

class DiskFault : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path apps = dir / "Applications";
    fs::path oldBundle = dir / "old/Tessuro.app";
    fs::path newBundle = dir / "new/Tessuro.app";
    fs::path anchor = dir / "root.pem";

    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for mounts in a private namespace";
        }
        fs::create_directories(apps);
        test::makeSignedBundle(oldBundle, "1");
        test::makeUnsignedBundle(newBundle, std::string(payloadBundleIdentifier), "2");
        test::writeFile(newBundle / "Contents/Resources/media/movie.bin",
                        std::string(6u << 20, 'm'));
        const auto& pki = test::TestPki::shared();
        codesign::signBundle(newBundle, pki.identity(pki.leaf));
        test::writeFile(anchor, pki.rootPem());
    }

    // The output of a shell script run inside a private mount namespace.
    static std::string inNamespace(const std::string& script) {
        test::ChildProcess process(
            "/usr/bin/unshare",
            {.arguments = {"--mount", "--propagation", "private", "/bin/sh", "-c", script}});
        return process.readAll();
    }

    // Runs `setup` then the transaction inside a private mount namespace; its report.
    std::string run(const std::string& setup, const std::string& options = "") const {
        return inNamespace("set -e; " + setup + "; '" + std::string(TESSURO_TRANSACTION_HARNESS) +
                           "' '" + newBundle.string() + "' '" + (apps / "Tessuro.app").string() +
                           "' '" + anchor.string() + "' --report " + options + " || true");
    }

    std::string mountSmall(const std::string& size) const {
        return "mount -t tmpfs -o size=" + size + " tessuro-test '" + apps.string() + "'; cp -a '" +
               oldBundle.string() + "' '" + (apps / "Tessuro.app").string() + "'";
    }
};

TEST_F(DiskFault, AFullOrReadOnlyDiskLeavesThePreviousVersion) {
    const std::string folder = "无法写入文件夹“" + apps.string() + "”：";
    for (const auto& [setup, reason] :
         {std::pair{mountSmall("3m"), folder + "磁盘空间不足"},
          std::pair{mountSmall("64m") + "; mount -o remount,ro '" + apps.string() + "'",
                    folder + "磁盘是只读的"}}) {
        std::string report = run(setup);
        EXPECT_NE(report.find("error: " + reason), std::string::npos) << report;
        EXPECT_NE(report.find("destination: 1\nhidden: 0\n"), std::string::npos) << report;
    }
}

// A disk that fails under the transaction: an ext4 image on a loop device, mounted with
// errors=remount-ro, whose journal is aborted right before a sync. Nothing the disk did not
// confirm counts as done: the run fails, and once the disk is mounted again, after a
// check, the destination holds a complete bundle (the previous one, unless the journal
// happened to commit the swap before it was aborted).
TEST_F(DiskFault, AWriteThatNeverReachesTheDiskIsNoSuccess) {
    const std::string image = (dir / "disk.img").string();
    const std::string makeDisk =
        "rm -f '" + image + "'; truncate -s 96M '" + image + "' && mkfs.ext4 -q -F '" + image + "'";
    const std::string mount = "mount -o loop,errors=remount-ro '" + image + "' '" + apps.string() +
                              "' 2> /dev/null || { echo 'no loop device'; exit 0; }; ";
    const std::string trigger =
        "/sys/fs/ext4/$(basename $(findmnt -no SOURCE '" + apps.string() + "'))/trigger_fs_error";
    for (const char* before : {"syncFileSystem", "syncDirectory"}) {
        if (std::system((makeDisk + " > /dev/null 2>&1").c_str()) != 0) {
            GTEST_SKIP() << "mkfs.ext4 is not available";
        }
        std::string report = run(mount + "cp -a '" + oldBundle.string() + "' '" +
                                     (apps / "Tessuro.app").string() + "'; sync",
                                 std::string("--fail-disk-before ") + before + " " + trigger);
        if (report.find("no loop device") != std::string::npos) {
            GTEST_SKIP() << "no loop device here";
        }
        std::cout << "journal aborted before " << before << ": " << report;
        EXPECT_NE(report.find("error: 无法写入磁盘"), std::string::npos) << report;
        EXPECT_NE(report.find("磁盘是只读的"), std::string::npos) << report;
        // What reached the disk, seen after a check and a fresh mount.
        std::string disk = inNamespace(
            "e2fsck -fy '" + image + "' > /dev/null 2>&1 || true; " + mount + "ls -A '" +
            apps.string() + "' | grep -v lost+found; '" + TESSURO_CODESIGN_TOOL +
            "' verify --anchor '" + anchor.string() + "' --requirement '" +
            PayloadValidation::payloadRequirement() + "' '" + (apps / "Tessuro.app").string() +
            "'; '" + TESSURO_CODESIGN_TOOL + "' info '" + (apps / "Tessuro.app").string() + "'");
        std::cout << "on disk afterwards:\n" << disk;
        EXPECT_NE(disk.find("valid\n"), std::string::npos) << disk;
    }
}

}  // namespace
}  // namespace tessuro
