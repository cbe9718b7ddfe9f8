#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/unique_fd.h"

namespace tessuro {

// Hears of each file a copy has finished: the copy's top folder (a descriptor, valid
// during the call) and the file's path below it.
using CopiedFile = std::function<void(int copy, const std::filesystem::path& relative)>;

// A copy's top folder, held open, and its identity.
struct CopiedTree {
    UniqueFd folder;
    FileIdentity identity;
};

enum class RenameMode {
    NoReplace,  // fails with EEXIST when something stands at the new name
    Exchange,   // swaps two existing items atomically; EINVAL/ENOSYS/EOPNOTSUPP when unsupported
};

// The file operations of the install transaction, and nothing else: every write it makes
// reaches the disk through here. Names are relative to a folder descriptor, so that every
// rename happens inside one folder whatever becomes of the paths meanwhile. Failures are
// POSIX errors (code = errno) whose text names the item and the reason.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Creates the folder and any missing parents; an existing folder is no failure.
    virtual void createDirectories(const std::filesystem::path& folder) = 0;

    virtual UniqueFd openDirectory(const std::filesystem::path& folder) = 0;

    // The folder at the top of a tree to be copied, opened for reading; a link at `top`
    // itself is followed, as for any path the installer is given. What is read of the tree
    // afterwards is read through it.
    virtual UniqueFd openTree(const std::filesystem::path& top) = 0;

    // The status of `name` in the folder, following a symbolic link or not. Nothing when
    // no item is there (ENOENT, ENOTDIR; with `follow`, also a link leading nowhere).
    virtual std::optional<struct stat> statAt(int folder, const std::string& name, bool follow) = 0;

    // The folder `name` in the folder, held without following a link and without needing
    // read permission (O_PATH): ENOENT when nothing is there, ENOTDIR when a file or a link
    // is. What is read through it later belongs to the folder that was opened, whatever
    // stands at the name by then.
    virtual UniqueFd openDirectoryAt(int folder, const std::string& name) = 0;

    // A regular file below the folder, read whole without following a link on the way and
    // without blocking on a FIFO or a device (see readFileContentsAt).
    virtual std::string readFileAt(int folder, const std::filesystem::path& relative,
                                   std::size_t maxBytes) = 0;

    // A copy of the tree below the folder `source` (opened by openTree; `sourcePath` names
    // it in messages) as `name` in the folder, where nothing may stand yet: folders,
    // regular files (their holes kept where the file system has them), symbolic links as
    // links; times, execute and read bits and user.* extended attributes kept. What the
    // signature does not cover and could lend a privilege is left behind: set-ID and sticky
    // bits, group and other write permission, ACLs, security.* and trusted.* attributes.
    // Other kinds of file fail the copy. Returns the folder it made, held open; a copy that
    // fails removes what it wrote, and nothing else. `copied` hears of each regular file
    // once it is complete (mode and times set).
    virtual CopiedTree copyTree(int source, const std::filesystem::path& sourcePath, int folder,
                                const std::string& name, const CopiedFile& copied = {}) = 0;

    // Takes the execute bits off each regular file `relative` below the folder, reached
    // without following a link, and puts the change on disk; anything else at such a path
    // fails, as a file that cannot be changed does.
    virtual void dropExecuteBits(int folder,
                                 const std::vector<std::filesystem::path>& relative) = 0;

    // Puts everything written on the folder's file system on disk. `folder` must have been
    // opened before the writes: a write-back error is reported to every descriptor opened
    // before it happened, and to none opened after (another process's sync may already
    // have collected it). Every error counts: a write that may not have reached the disk
    // fails.
    virtual void syncFileSystem(int folder) = 0;

    // Puts the folder's own entries (creations, renames) on disk; every error counts.
    virtual void syncDirectory(int folder) = 0;

    virtual void renameAt(int folder, const std::string& from, const std::string& to,
                          RenameMode mode) = 0;

    // Removes `name` and everything below it when it is the folder `expected`, and answers
    // whether it was. Anything else at the name, or nothing, is left alone. The folder is
    // held by a descriptor from the check on, and emptied through descriptors that never
    // follow a link; only its own removal from the folder goes by name, after one more
    // look at the identity there. A mount point in the tree is never entered: it stays with
    // everything it holds, and the removal fails naming it.
    virtual bool removeTree(int folder, const std::string& name, const FileIdentity& expected) = 0;
};

// The real file operations of this system.
FileSystem& systemFileSystem();

}  // namespace tessuro
