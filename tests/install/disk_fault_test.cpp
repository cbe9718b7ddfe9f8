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

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

// The output of a shell script run inside a private mount namespace.
std::string inNamespace(const std::string& script) {
    test::ChildProcess process(
        "/usr/bin/unshare",
        {.arguments = {"--mount", "--propagation", "private", "/bin/sh", "-c", script}});
    return process.readAll();
}

class DiskFault : public ::testing::Test {
protected:
    test::TempDir dir;
    const fs::path apps = dir / "Applications", destination = apps / "Tessuro.app";
    const fs::path oldBundle = dir / "old/Tessuro.app", newBundle = dir / "new/Tessuro.app";
    const fs::path anchor = dir / "root.pem";

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

    const std::string putOld = "cp -a " + quoted(oldBundle) + " " + quoted(destination);

    // Runs `setup` then the transaction inside a private mount namespace; its report.
    std::string run(const std::string& setup, const std::string& options = "") const {
        return inNamespace("set -e; " + setup + "; " + quoted(TESSURO_TRANSACTION_HARNESS) + " " +
                           quoted(newBundle) + " " + quoted(destination) + " " + quoted(anchor) +
                           " " + options + " || true");
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
        std::string report = run(setup);
        EXPECT_NE(report.find(reason + "\ndestination: 1\nhidden: 0\n"), std::string::npos)
            << report;
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
                              quoted(apps) +
                              " 2> /dev/null || { echo 'no loop device'; exit 0; }; ";
    const std::string trigger =
        "/sys/fs/ext4/$(basename $(findmnt -no SOURCE " + quoted(apps) + "))/trigger_fs_error";
    const std::string tool = quoted(TESSURO_CODESIGN_TOOL);
    for (const char* before : {"syncFileSystem", "syncDirectory"}) {
        const std::string makeDisk = "rm -f " + quoted(image) + "; truncate -s 96M " +
                                     quoted(image) + " && mkfs.ext4 -q -F " + quoted(image);
        if (std::system((makeDisk + " > /dev/null 2>&1").c_str()) != 0) {
            GTEST_SKIP() << "mkfs.ext4 is not available";
        }
        std::string report = run(mount + putOld + "; sync",
                                 std::string("--fail-disk-before ") + before + " " + trigger);
        if (report.find("no loop device") != std::string::npos) {
            GTEST_SKIP() << "no loop device here";
        }
        EXPECT_NE(report.find("error: 无法写入磁盘"), std::string::npos) << before << report;
        EXPECT_NE(report.find("磁盘是只读的"), std::string::npos) << before << report;
        // What reached the disk, seen after a check and a fresh mount.
        std::string disk =
            inNamespace("e2fsck -fy " + quoted(image) + " > /dev/null 2>&1 || true; " + mount +
                        tool + " verify --anchor " + quoted(anchor) + " --requirement '" +
                        PayloadValidation::payloadRequirement() + "' " + quoted(destination));
        EXPECT_NE(disk.find("valid\n"), std::string::npos) << before << disk;
    }
}

}  // namespace
}  // namespace tessuro
