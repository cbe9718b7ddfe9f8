#pragma once

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "codesign/blob.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {

// The hash types of a CodeDirectory.
enum class HashType : std::uint8_t {
    Sha1 = 1,
    Sha256 = 2,
    Sha256Truncated = 3,  // SHA-256 cut to 20 bytes
    Sha384 = 4,
};

std::size_t hashSize(HashType type);
// Preference among several CodeDirectories: the higher, the stronger.
int hashStrength(HashType type);

// Every digest throws a code-signing Error (kCryptoFailed) with OpenSSL's reason when
// OpenSSL cannot make it, for instance when no provider it loaded offers the algorithm.
Bytes digest(HashType type, ByteView data);

// The digest of a whole open file read in large blocks, or of its first `limit` bytes.
// Throws a POSIX Error naming `shown` when a read fails, and a code-signing Error
// (kFileShrank) when the file ends before the limit.
Bytes digestFile(HashType type, int fd, const std::filesystem::path& shown,
                 std::optional<std::uint64_t> limit = {});

// Digests of files already read, remembered by the file's identity and its last change: a
// file whose device, inode, size, modification and change times are all the same still
// holds the same bytes, as long as no one else may write it. That holds only for files the
// installer wrote itself into a folder of its own, checked within one installation: a
// write(2) stamps the change time when it begins, not when its bytes land; a write through
// a shared mapping stamps it once; and a freed inode comes back with another file. So a memo
// belongs to one VerificationSession. Safe to use from several threads.
class DigestCache {
public:
    std::optional<Bytes> find(const struct stat& file, HashType type) const;
    void remember(const struct stat& file, HashType type, const Bytes& digest);

private:
    using Key = std::array<std::int64_t, 8>;
    static Key keyOf(const struct stat& file, HashType type);

    mutable std::mutex mutex_;
    std::map<Key, Bytes> digests_;
};

// The digest of the regular file `relative` below an open folder (read as
// openRegularFileAt reads), remembered in `cache` when one is given. Only a file whose
// change time was older than the clock when its reading began is remembered, so that a
// write of the installer's own still in the same tick is not taken for done; and none whose
// change time has no fraction of a second, since a file system that keeps whole seconds
// stamps a change later in the current second below the clock. Throws the Error of
// openRegularFileAt or digestFile when the file cannot be read.
Bytes digestFileAt(int folder, const std::filesystem::path& relative, HashType type,
                   DigestCache* cache);

// Hashes files into a memo in the background, in the order they are given, each a
// little after it was given (so that its change time is past), at a priority below the
// file work beside it. A verification that follows a copy finds the files it checks
// already read. Stops when destroyed; what is left is not hashed. Without a thread to be
// had, it hashes nothing; after a failure that is not the file's own (out of memory, a
// digest OpenSSL cannot make), it hashes nothing more.
class DigestPrefetch {
public:
    // `cache` outlives this.
    DigestPrefetch(HashType type, DigestCache& cache);
    ~DigestPrefetch();
    DigestPrefetch(const DigestPrefetch&) = delete;
    DigestPrefetch& operator=(const DigestPrefetch&) = delete;

    // The file `relative` below `folder`. Every file comes from the folder given first,
    // which is held from then on, whatever becomes of the caller's descriptor.
    void add(int folder, std::filesystem::path relative);

private:
    void work() noexcept;
    void readQueued();

    UniqueFd folder_;
    HashType type_;
    DigestCache& cache_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::filesystem::path>> queue_;
    bool stopping_ = false;
    std::thread worker_;
};

// The digest of each `pageSize` page of the file's first `limit` bytes; throws as
// digestFile does.
std::vector<Bytes> digestPages(HashType type, int fd, const std::filesystem::path& shown,
                               std::uint64_t limit, std::uint64_t pageSize);

}  // namespace tessuro::codesign
