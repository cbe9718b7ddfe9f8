// Hostile layouts around and inside the bundle. Nothing may write outside the destination
// folder or follow a link the installer did not create; the ordinary-user cases run the
// transaction as "nobody".

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>

#include "child_process.h"
#include "install/installer_transaction.h"
#include "install/payload_validation.h"
#include "platform/codesign/digest.h"
#include "platform/error.h"
#include "platform/files.h"
#include "signing_fixtures.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;

class Hostile : public ::testing::Test {
protected:
    test::TempDir dir;
    fs::path apps = dir / "Applications";
    fs::path payload = dir / "Payload/Tessuro.app";
    fs::path outside = dir / "outside";
    codesign::CodeSigning trust{{test::TestPki::shared().rootPem()}};

    void SetUp() override {
        fs::create_directories(apps);
        test::writeFile(outside / "secret.txt", "untouched");
    }

    void sign(const fs::path& bundle) {
        const auto& pki = test::TestPki::shared();
        codesign::signBundle(bundle, pki.identity(pki.leaf));
    }

    std::string install(const fs::path& destination) {
        try {
            InstallerTransaction::install(payload, destination, [&](const fs::path& bundle) {
                PayloadValidation::validate(bundle, trust);
            });
            InstallerTransaction::waitForBackgroundWork();
        } catch (const Error& error) {
            return error.localizedDescription();
        }
        return "ok";
    }

    // The same as "nobody", in a tree that nobody owns; `afterChown` runs once it does.
    std::string installAsNobody(
        const fs::path& destination, const std::function<void()>& afterChown = [] {}) {
        test::writeFile(dir / "root.pem", test::TestPki::shared().rootPem());
        std::string command = "chown -R nobody '" + dir.path().string() + "' && chmod 755 '" +
                              dir.path().string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        afterChown();
        test::ChildProcess harness(
            TESSURO_TRANSACTION_HARNESS,
            {.arguments = {payload.string(), destination.string(), (dir / "root.pem").string()},
             .runAs = test::nobodyUid()});
        return harness.readLine(60);
    }
};

TEST_F(Hostile, ADestinationFolderThatIsALinkIsNotFollowed) {
    test::makeSignedBundle(payload);
    fs::create_directory_symlink(outside, dir / "LinkedApps");
    std::string result = install(dir / "LinkedApps/Tessuro.app");
    EXPECT_EQ(result, "无法安装到“" + (dir / "LinkedApps").string() +
                          "”：它是一个符号链接，安装程序不会跟随");
    EXPECT_EQ(test::treeSnapshot(outside),
              (std::map<std::string, std::string>{{"secret.txt", "file:untouched"}}));

    if (::geteuid() == 0) {
        EXPECT_EQ(installAsNobody(dir / "LinkedApps/Tessuro.app"),
                  "error: 无法安装到“" + (dir / "LinkedApps").string() +
                      "”：它是一个符号链接，安装程序不会跟随");
        EXPECT_FALSE(fs::exists(outside / "Tessuro.app"));
    }
}

TEST_F(Hostile, LinksInThePayloadStayLinks) {
    test::makeUnsignedBundle(payload);
    fs::create_symlink(outside / "secret.txt", payload / "Contents/Resources/absolute-link");
    fs::create_symlink("../../../../outside/secret.txt",
                       payload / "Contents/Resources/relative-out");
    fs::create_directory_symlink(outside, payload / "Contents/Resources/folder-out");
    test::writeFile(payload / "Contents/Resources/..hidden..name", "dots");
    sign(payload);
    EXPECT_EQ(install(apps / "Tessuro.app"), "ok");
    auto installed = test::treeSnapshot(apps / "Tessuro.app");
    EXPECT_EQ(installed, test::treeSnapshot(payload));
    EXPECT_EQ(installed["Contents/Resources/absolute-link"],
              "link:" + (outside / "secret.txt").string());
    EXPECT_EQ(installed.count("Contents/Resources/folder-out/secret.txt"), 0u) << "never followed";
    EXPECT_EQ(test::treeSnapshot(outside),
              (std::map<std::string, std::string>{{"secret.txt", "file:untouched"}}));

    if (::geteuid() == 0) {
        fs::remove_all(apps / "Tessuro.app");
        EXPECT_EQ(installAsNobody(apps / "Tessuro.app"), "ok");
        EXPECT_EQ(test::treeSnapshot(apps / "Tessuro.app"), test::treeSnapshot(payload));
    }
}

// Items whose mode or extended attributes could lend a privilege or let another user write:
// "path: mode 6755", "path: security.capability". Links are not looked into.
std::vector<std::string> privilegesIn(const fs::path& root) {
    std::vector<std::string> found;
    auto look = [&](const fs::path& item) {
        struct stat st {};
        if (::lstat(item.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) {
            return;
        }
        std::string name = fs::relative(item, root).string();
        if ((st.st_mode & 07022) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
            found.push_back(name + ": mode " + mode);
        }
        char names[4096];
        ssize_t size = ::llistxattr(item.c_str(), names, sizeof names);
        for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
            if (std::strncmp(names + at, "user.", 5) != 0) {
                found.push_back(name + ": " + (names + at));
            }
        }
    };
    look(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        look(entry.path());
    }
    return found;
}

// A POSIX access or default ACL that lets `uid` read, write and search.
std::string aclGranting(uid_t uid) {
    std::string acl;
    auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            acl.push_back(static_cast<char>(value >> (8 * i)));
        }
    };
    put(2, 4);  // version
    for (auto [tag, perm, id] : {std::tuple{0x01u, 7u, ~0u},
                                 {0x02u, 7u, std::uint32_t{uid}},
                                 {0x04u, 5u, ~0u},
                                 {0x10u, 7u, ~0u},
                                 {0x20u, 5u, ~0u}}) {
        put(tag, 2);
        put(perm, 2);
        put(id, 4);
    }
    return acl;
}

void setAttribute(const fs::path& item, const char* name, const std::string& value) {
    ASSERT_EQ(::setxattr(item.c_str(), name, value.data(), value.size(), 0), 0)
        << name << " on " << item << ": " << std::strerror(errno);
}

// Set-ID, sticky and world-writable modes, a file capability, ACLs and trusted attributes
// are not covered by the seal: a payload carrying them still verifies, and its installed
// copy carries none of them, whoever installs it. Execute bits and user attributes stay.
TEST_F(Hostile, ModesAndAttributesThatLendAPrivilegeAreNotInstalled) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to set capabilities and trusted attributes";
    }
    const fs::path executable = payload / "Contents/MacOS/Tessuro";
    const std::string capSetuid(
        "\x01\x00\x00\x02\x80\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00",
        20);
    auto privilege = [&] {
        ::chmod(executable.c_str(), 06755);
        ::chmod((payload / "Contents/Resources").c_str(), 0777);
        ::chmod((payload / "Contents/Resources/data").c_str(), 01777);
        ::chmod((payload / "Contents/Resources/data/levels/one.dat").c_str(), 0666);
        setAttribute(executable, "security.capability", capSetuid);
        setAttribute(executable, "user.origin", "maker");
        setAttribute(payload / "Contents/Resources/data/levels/two.dat", "system.posix_acl_access",
                     aclGranting(test::nobodyUid()));
        setAttribute(payload / "Contents/Resources/data", "trusted.note", "x");
    };
    test::makeUnsignedBundle(payload);
    privilege();
    sign(payload);
    // The destination folder hands new items an ACL by default; the copy takes none.
    setAttribute(apps, "system.posix_acl_default", aclGranting(test::nobodyUid()));
    ASSERT_EQ(privilegesIn(payload).size(), 8u) << "the payload carries what the copy must drop";

    EXPECT_EQ(install(apps / "Tessuro.app"), "ok");
    const fs::path installed = apps / "Tessuro.app";
    EXPECT_EQ(privilegesIn(installed), std::vector<std::string>{});
    EXPECT_EQ(test::treeSnapshot(installed), test::treeSnapshot(payload));
    auto modes = [&] {
        std::string text;
        for (const char* item :
             {"Contents/MacOS/Tessuro", "Contents/Resources", "Contents/Resources/data",
              "Contents/Resources/data/levels/one.dat"}) {
            struct stat st {};
            ::lstat((installed / item).c_str(), &st);
            char line[128];
            std::snprintf(line, sizeof line, "  %04o %s\n", st.st_mode & 07777, item);
            text += line;
        }
        return text;
    };
    const std::string expectedModes =
        "  0755 Contents/MacOS/Tessuro\n  0755 Contents/Resources\n"
        "  0755 Contents/Resources/data\n  0644 Contents/Resources/data/levels/one.dat\n";
    EXPECT_EQ(modes(), expectedModes);
    std::cout << "modes installed from a payload with 6755, 0777, 1777 and 0666 items:\n"
              << modes();
    char origin[16] = {};
    EXPECT_EQ(::getxattr((installed / "Contents/MacOS/Tessuro").c_str(), "user.origin", origin,
                         sizeof origin),
              5);

    // An ordinary user installing the same payload: chown clears set-ID bits and the
    // capability, so they are given back to the payload nobody then owns.
    fs::remove_all(installed);
    ::removexattr(apps.c_str(), "system.posix_acl_default");
    EXPECT_EQ(installAsNobody(installed, privilege), "ok");
    EXPECT_EQ(privilegesIn(installed), std::vector<std::string>{});
    EXPECT_EQ(modes(), expectedModes);
}

TEST_F(Hostile, SealEntriesThatClimbOutAreNeverOpened) {
    test::makeSignedBundle(payload);
    // A seal that names "../../outside/secret.txt" with that file's true hash: the verifier
    // walks the bundle, it never opens what an entry names, so the entry is simply missing
    // from the bundle (had it been opened, it would have matched).
    std::string secret = readFileContents(outside / "secret.txt", 1 << 10);
    codesign::Bytes hash = codesign::digest(codesign::HashType::Sha256, codesign::asBytes(secret));
    std::string base64(64, '\0');
    base64.resize(
        static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                                                 hash.data(), static_cast<int>(hash.size()))));
    const auto& pki = test::TestPki::shared();
    test::resignWithResources(
        payload,
        [&](std::string& seal) {
            seal.replace(seal.find("<key>files2</key>\n\t<dict>") + 25, 0,
                         "\n\t\t<key>../../../outside/secret.txt</key>\n\t\t<dict>"
                         "<key>hash2</key><data>" +
                             base64 + "</data></dict>");
        },
        pki.leaf);
    ASSERT_EQ(test::payloadStatus(payload), codesign::kStatusResourceMissing);
    EXPECT_EQ(install(apps / "Tessuro.app"), "安装文件校验未通过，请重新下载安装包");
    EXPECT_TRUE(fs::is_empty(apps));
}

TEST_F(Hostile, HugeOrDeepInfoPlistsAreRefusedWithoutHarm) {
    test::makeSignedBundle(payload);
    // An existing item whose Info.plist is over the size limit, or nested 100 000 deep.
    fs::path existing = apps / "Tessuro.app";
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) {
        deep += "<dict><key>k</key>";
    }
    test::writeFile(existing / "Contents/Info.plist", deep);
    std::string result = install(existing);
    EXPECT_NE(result.find("内容不是有效的属性列表"), std::string::npos) << result;
    EXPECT_EQ(readFileContents(existing / "Contents/Info.plist", 1 << 22), deep) << "untouched";

    fs::resize_file(existing / "Contents/Info.plist", (64u << 20) + 1);
    result = install(existing);
    EXPECT_NE(result.find("文件过大"), std::string::npos) << result;

    // The payload's own Info.plist too large: the signature check refuses it.
    fs::remove_all(existing);
    fs::resize_file(payload / "Contents/Info.plist", (64u << 20) + 1);
    EXPECT_EQ(install(existing), "安装文件校验未通过，请重新下载安装包");
    EXPECT_TRUE(test::hiddenItems(apps).empty());
}

TEST_F(Hostile, ABundleWithVeryManyFiles) {
    const int files = std::getenv("TESSURO_LONG_TESTS") != nullptr ? 100000 : 5000;
    test::makeUnsignedBundle(payload);
    for (int i = 0; i < files; ++i) {
        test::writeFile(payload / "Contents/Resources/many" / std::to_string(i / 1000) /
                            (std::to_string(i) + ".txt"),
                        std::to_string(i));
    }
    sign(payload);
    EXPECT_EQ(install(apps / "Tessuro.app"), "ok");
    EXPECT_EQ(test::treeSnapshot(apps / "Tessuro.app").size(), test::treeSnapshot(payload).size());
    std::cout << files << " files installed and verified three times\n";
}

}  // namespace
}  // namespace tessuro
