#include "platform/tree_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <tuple>

#include "child_process.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "temp_dir.h"
#include "tree_snapshot.h"

namespace tessuro {
namespace {

namespace fs = std::filesystem;
using test::statOf;

std::string xattrOf(const fs::path& path, const char* name) {
    char value[256];
    ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(n));
}

// The copy of `from` as "to" in `folder`.
fs::path copyInto(const fs::path& folder, const fs::path& from) {
    copyTree(systemFileSystem().openTree(from).get(), from,
             systemFileSystem().openDirectory(folder).get(), "to");
    return folder / "to";
}

void setTime(const fs::path& path, long seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(TreeCopy, KeepsLinksModesTimesAndExtendedAttributes) {
    test::TempDir dir;
    fs::path from = dir / "from";
    test::writeFile(from / "bin/tool", "#!/bin/sh\n");
    ::chmod((from / "bin/tool").c_str(), 0755);
    test::writeFile(from / "readonly.txt", "fixed");
    ::chmod((from / "readonly.txt").c_str(), 0444);
    std::string large(3 << 20, '\0');
    std::generate(large.begin(), large.end(), std::mt19937(7));
    test::writeFile(from / "large.bin", large);
    fs::create_directories(from / "private");
    ::chmod((from / "private").c_str(), 0700);
    fs::create_symlink("../nowhere/at/all", from / "dangling");
    fs::create_symlink("/etc/passwd", from / "outside");
    fs::create_directory_symlink("bin", from / "bin-link");
    ASSERT_EQ(::setxattr((from / "bin/tool").c_str(), "user.origin", "maker", 5, 0), 0);
    ASSERT_EQ(::setxattr((from / "private").c_str(), "user.kind", "folder", 6, 0), 0);
    setTime(from / "bin/tool", 1000000000, 123456789);
    setTime(from / "outside", 1100000000, 5);
    setTime(from / "bin", 1200000000, 42);

    const fs::path to = copyInto(dir.path(), from);

    EXPECT_EQ(test::treeSnapshot(to), test::treeSnapshot(from));
    for (const char* item : {"bin", "bin/tool", "readonly.txt", "private", "dangling", "outside",
                             "large.bin", "bin-link"}) {
        struct stat a = statOf(from / item), b = statOf(to / item);
        EXPECT_EQ(a.st_mode, b.st_mode) << item;
        EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << item;
        EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << item;
    }
    EXPECT_EQ(fs::read_symlink(to / "outside"), "/etc/passwd") << "copied as a link, not followed";
    EXPECT_EQ(xattrOf(to / "bin/tool", "user.origin"), "maker");
    EXPECT_EQ(xattrOf(to / "private", "user.kind"), "folder");

    UniqueFd folder = systemFileSystem().openDirectory(dir.path());
    removeTree(folder.get(), "to");
    EXPECT_FALSE(fs::exists(fs::symlink_status(to)));
    EXPECT_TRUE(fs::exists("/etc/passwd")) << "removal never follows a link";
    removeTree(folder.get(), "to");  // nothing there is no failure
}

// A copy that fails says why, and removes what it wrote, and only that.
TEST(TreeCopy, SpecialFilesTooDeepTreesAndOccupiedTargetsFail) {
    test::TempDir dir;
    fs::path from = dir / "from";
    test::writeFile(from / "a.txt", "a");
    UniqueFd into = systemFileSystem().openDirectory(dir.path());
    auto failure = [&](const std::string& name) {
        try {
            copyTree(systemFileSystem().openTree(from).get(), from, into.get(), name);
        } catch (const Error& error) {
            return error.localizedDescription();
        }
        return std::string("copied");
    };
    test::makeFifo(from / "fifo");
    EXPECT_EQ(failure("to"), "无法复制“" + (from / "fifo").string() +
                                 "”：安装包中含有不支持的特殊文件（管道、套接字或设备文件）");
    fs::remove(from / "fifo");
    fs::path deep = from;
    for (int level = 0; level <= kMaxTreeDepth; ++level) {
        deep /= "d";
    }
    fs::create_directories(deep);
    EXPECT_EQ(failure("to"), "无法复制“" + deep.string() + "”：文件夹层级过深");
    EXPECT_EQ(test::treeSnapshot(dir.path()).count("to"), 0u);

    fs::create_directory(dir / "taken");
    test::writeFile(dir / "taken/mine.txt", "kept");
    EXPECT_EQ(failure("taken"), "无法写入文件夹“" + dir.path().string() + "”：同名项目已存在");
    EXPECT_TRUE(fs::exists(dir / "taken/mine.txt"));
}

// Items whose mode or extended attributes could lend a privilege or let another user write:
// "path: mode 6755", "path: security.capability". Links are not looked into.
std::vector<std::string> privilegesIn(const fs::path& root) {
    std::vector<std::string> found;
    auto look = [&](const fs::path& item) {
        struct stat st = statOf(item);
        if (S_ISLNK(st.st_mode)) {
            return;
        }
        std::string name = fs::relative(item, root).string();
        if ((st.st_mode & 07022) != 0) {
            found.push_back(name + ": mode " + std::to_string(st.st_mode & 07777));
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

// A POSIX ACL (access or default) that lets another user read, write and search.
std::string aclGrantingNobody() {
    std::string acl;
    auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            acl.push_back(static_cast<char>(value >> (8 * i)));
        }
    };
    put(2, 4);  // version
    for (auto [tag, perm, id] : {std::tuple{0x01u, 7u, ~0u},
                                 {0x02u, 7u, std::uint32_t{test::nobodyUid()}},
                                 {0x04u, 5u, ~0u},
                                 {0x10u, 7u, ~0u},
                                 {0x20u, 5u, ~0u}}) {
        put(tag, 2);
        put(perm, 2);
        put(id, 4);
    }
    return acl;
}

// Set-ID, sticky and group/other-writable modes, a file capability, ACLs (also one the
// destination folder hands down) and trusted attributes are left behind; execute bits and
// user attributes stay.
TEST(TreeCopy, ModesAndAttributesThatLendAPrivilegeAreNotCopied) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to set capabilities and trusted attributes";
    }
    test::TempDir dir;
    const fs::path from = dir / "from", tool = from / "tool", open = from / "open";
    test::writeFile(tool, "#!/bin/sh\n");
    test::writeFile(open / "shared/data.txt", "x");
    test::writeFile(open / "acl.txt", "y");
    const std::string capSetuid(
        "\x01\x00\x00\x02\x80\x00\x00\x00\x00\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00",
        20);
    auto set = [](const fs::path& item, const char* name, const std::string& value) {
        ASSERT_EQ(::setxattr(item.c_str(), name, value.data(), value.size(), 0), 0) << name;
    };
    ::chmod(tool.c_str(), 06755);
    ::chmod(open.c_str(), 0777);
    ::chmod((open / "shared").c_str(), 01777);
    ::chmod((open / "shared/data.txt").c_str(), 0666);
    set(tool, "security.capability", capSetuid);
    set(tool, "user.origin", "maker");
    set(open / "acl.txt", "system.posix_acl_access", aclGrantingNobody());
    set(open / "shared", "trusted.note", "x");
    fs::create_directories(dir / "apps");
    set(dir / "apps", "system.posix_acl_default", aclGrantingNobody());
    ASSERT_EQ(privilegesIn(from).size(), 8u) << "the source carries what the copy must drop";

    const fs::path to = copyInto(dir / "apps", from);
    EXPECT_EQ(privilegesIn(to), std::vector<std::string>{});
    EXPECT_EQ(statOf(to / "tool").st_mode & 07777, 0755u);
    EXPECT_EQ(statOf(to / "open/shared").st_mode & 07777, 0755u);
    EXPECT_EQ(statOf(to / "open/shared/data.txt").st_mode & 07777, 0644u);
    EXPECT_EQ(xattrOf(to / "tool", "user.origin"), "maker");
}

TEST(TreeCopy, HolesStayHoles) {
    test::TempDir dir;
    fs::path from = dir / "from";
    fs::create_directories(from);
    const off_t size = 64 << 20;
    {
        UniqueFd file(::open((from / "sparse.bin").c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(::ftruncate(file.get(), size), 0);
        ASSERT_EQ(::pwrite(file.get(), "head", 4, 4096), 4);
        ASSERT_EQ(::pwrite(file.get(), "middle", 6, size / 2), 6);  // and a hole at the end
    }
    struct stat a = statOf(from / "sparse.bin"),
                b = statOf(copyInto(dir.path(), from) / "sparse.bin");
    EXPECT_EQ(b.st_size, size);
    EXPECT_LE(b.st_blocks, a.st_blocks) << "holes filled";
    EXPECT_TRUE(readFileContents(dir / "to/sparse.bin", size) ==
                readFileContents(from / "sparse.bin", size));
}

// An ordinary user removes a tree holding folders it may not read, search or write: they
// are opened up through the descriptor that holds them, never by name.
TEST(TreeCopy, RemovalOpensUpUnreadableFoldersItOwns) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the removal as another user";
    }
    test::TempDir dir;
    fs::path tree = dir / "tree";
    test::writeFile(tree / "closed/inner/file.txt", "x");
    test::writeFile(tree / "readonly/file.txt", "y");
    ASSERT_EQ(std::system(("chown -R nobody '" + dir.path().string() + "'").c_str()), 0);
    ::chmod((tree / "closed/inner").c_str(), 0);
    ::chmod((tree / "closed").c_str(), 0);
    ::chmod((tree / "readonly").c_str(), 0500);
    struct stat top = statOf(tree);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uid_t nobody = test::nobodyUid();
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
            ::_exit(2);
        }
        UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
        try {
            ::_exit(removeTreeIf(folder.get(), "tree", identityOf(top)) ? 0 : 3);
        } catch (...) {
            ::_exit(4);
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(tree));
}

}  // namespace
}  // namespace tessuro
