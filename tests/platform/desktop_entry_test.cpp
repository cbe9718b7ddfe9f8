// The desktop entry that lists an installed application: what it says, that the desktop's
// own tools accept it and start what it names, and how it is written.

#include "platform/desktop_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/error.h"
#include "temp_dir.h"

namespace tessuro {
namespace {

using test::TempDir;

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string quoted(const std::filesystem::path& path) {
    std::string out = "'";
    for (char c : path.native()) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

bool haveTool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " > /dev/null").c_str()) == 0;
}

// Executables whose paths hold what the format treats specially: the entry names each so
// that desktop-file-validate accepts it and gio, reading Exec as a desktop does, starts it.
TEST(DesktopEntry, EveryPathIsWrittenSoThatTheDesktopStartsIt) {
    if (!haveTool("desktop-file-validate") || !haveTool("gio")) {
        GTEST_SKIP() << "needs desktop-file-validate and gio (scripts/bootstrap.sh)";
    }
    struct Row {
        const char* name;
        const char* folder;
        // GLib looks for Exec's program before it expands the field codes, so a path with a
        // percent sign, written "%%" as the format asks, is a program it cannot find.
        bool gioStartsIt = true;
    };
    const Row rows[] = {
        {"plain", "Tessuro.app"},
        {"a space", "My Apps/Tessuro.app"},
        {"a double quote", "say \"hi\"/Tessuro.app"},
        {"a backslash", "back\\slash/Tessuro.app"},
        {"a dollar and a backquote", "$HOME `x`/Tessuro.app"},
        {"a percent sign", "100% sure/Tessuro.app", false},
        {"a single quote and Chinese", "用户's/Tessuro.app"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const auto executable = dir / row.folder / "Contents/MacOS/Tessuro";
        const auto marker = dir / "started";
        std::filesystem::create_directories(executable.parent_path());
        {
            std::ofstream script(executable);
            script << "#!/bin/sh\necho \"$0\" > " << quoted(marker) << "\n";
        }
        std::filesystem::permissions(executable, std::filesystem::perms::owner_all);
        const auto icon = dir / row.folder / "Contents/Resources/icon.png";
        writeDesktopEntry(dir / "applications", "com.example.test.desktop",
                          desktopEntryText("Tessuro", executable, icon));
        const auto entry = dir / "applications/com.example.test.desktop";
        EXPECT_EQ(std::system(("desktop-file-validate " + quoted(entry)).c_str()), 0)
            << readAll(entry);
        if (!row.gioStartsIt) {
            EXPECT_NE(readAll(entry).find("/100%% sure/"), std::string::npos) << readAll(entry);
            continue;
        }
        ASSERT_EQ(std::system(("gio launch " + quoted(entry) + " 2> /dev/null").c_str()), 0)
            << readAll(entry);
        for (int i = 0; i < 100 && !std::filesystem::exists(marker); ++i) {
            ::usleep(50000);
        }
        EXPECT_EQ(readAll(marker), executable.native() + "\n") << readAll(entry);
    }
}

TEST(DesktopEntry, SaysWhatTheDesktopListsAndRefusesWhatItCannotHold) {
    EXPECT_EQ(desktopEntryText("Tessuro", "/Applications/Tessuro.app/Contents/MacOS/Tessuro",
                               std::nullopt),
              "[Desktop Entry]\nType=Application\nName=Tessuro\n"
              "Exec=\"/Applications/Tessuro.app/Contents/MacOS/Tessuro\"\n"
              "TryExec=/Applications/Tessuro.app/Contents/MacOS/Tessuro\n");
    EXPECT_THROW(desktopEntryText("Tessuro", "/a\nb/Tessuro", std::nullopt), Error);
    EXPECT_THROW(desktopEntryText("Tessuro", "relative/Tessuro", std::nullopt), Error);
}

// Written whole or not at all, left as it is when it says the same, and never through a link
// at its name.
TEST(DesktopEntry, WrittenByRenameLeftAloneWhenUnchangedNeverThroughALink) {
    TempDir dir;
    const auto folder = dir / "share/applications";  // made when missing
    const auto entry = folder / "t.desktop";
    writeDesktopEntry(folder, "t.desktop", "one\n");
    EXPECT_EQ(readAll(entry), "one\n");
    struct stat first {};
    ASSERT_EQ(::stat(entry.c_str(), &first), 0);

    writeDesktopEntry(folder, "t.desktop", "one\n");
    struct stat same {};
    ASSERT_EQ(::stat(entry.c_str(), &same), 0);
    EXPECT_EQ(same.st_ino, first.st_ino) << "an unchanged entry is left as it is";

    writeDesktopEntry(folder, "t.desktop", "two\n");
    EXPECT_EQ(readAll(entry), "two\n");
    struct stat replaced {};
    ASSERT_EQ(::stat(entry.c_str(), &replaced), 0);
    EXPECT_NE(replaced.st_ino, first.st_ino) << "replaced by a rename, not rewritten in place";

    const auto target = dir / "elsewhere";
    { std::ofstream(target) << "kept\n"; }
    std::filesystem::remove(entry);
    std::filesystem::create_symlink(target, entry);
    writeDesktopEntry(folder, "t.desktop", "three\n");
    EXPECT_EQ(readAll(target), "kept\n") << "the link's target was written";
    EXPECT_FALSE(std::filesystem::is_symlink(entry));
    EXPECT_EQ(readAll(entry), "three\n");
    int files = 0;
    for ([[maybe_unused]] const auto& item : std::filesystem::directory_iterator(folder)) {
        ++files;
    }
    EXPECT_EQ(files, 1) << "no temporary file left beside the entry";
}

// Every user's desktop reads the entry and its folders, whatever the umask of the installer;
// an entry of another mode, or a FIFO at its name, is replaced rather than kept or waited on.
TEST(DesktopEntry, ReadableByEveryoneWhateverTheUmaskOrWhatStoodThere) {
    TempDir dir;
    const auto folder = dir / "made/applications";
    const mode_t saved = ::umask(077);
    writeDesktopEntry(folder, "t.desktop", "one\n");
    ::umask(saved);
    struct stat status {};
    ASSERT_EQ(::stat((folder / "t.desktop").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    ASSERT_EQ(::stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((dir / "made").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755u);

    ASSERT_EQ(::chmod((folder / "t.desktop").c_str(), 0600), 0);
    writeDesktopEntry(folder, "t.desktop", "one\n");
    ASSERT_EQ(::stat((folder / "t.desktop").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u) << "an entry nobody else could read was kept";

    std::filesystem::remove(folder / "t.desktop");
    ASSERT_EQ(::mkfifo((folder / "t.desktop").c_str(), 0644), 0);
    writeDesktopEntry(folder, "t.desktop", "two\n");
    EXPECT_EQ(readAll(folder / "t.desktop"), "two\n");
}

TEST(DesktopEntry, TheFolderFollowsTheInstallAndTheUser) {
    DesktopUser self;
    self.uid = ::getuid();
    self.home = "/home/someone";
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(desktopEntryFolder(false, self), "/usr/local/share/applications");
    EXPECT_EQ(desktopEntryFolder(true, self), "/data/applications");
    ::setenv("XDG_DATA_HOME", "relative", 1);
    EXPECT_EQ(desktopEntryFolder(true, self), "/home/someone/.local/share/applications");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(desktopEntryFolder(true, self), "/home/someone/.local/share/applications");
}

}  // namespace
}  // namespace tessuro
