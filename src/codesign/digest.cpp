#include "codesign/digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <span>

#include "codesign/openssl_ptr.h"
#include "codesign/status.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/thread_priority.h"

namespace tessuro::codesign {
namespace {

const char* algorithmName(HashType type) {
    switch (type) {
        case HashType::Sha1: return "SHA1";
        case HashType::Sha256:
        case HashType::Sha256Truncated: return "SHA256";
        case HashType::Sha384: return "SHA384";
    }
    return "none";
}

[[noreturn]] void digestFailed(HashType type, const char* step) {
    throw openSslError(codesign_code::kCryptoFailed,
                       std::string("cannot ") + step + " a " + algorithmName(type) + " digest");
}

// Fetched once it could be: an implicit fetch on every digest takes the provider's locks
// each time. A fetch that fails is tried again at the next digest, which then fails with
// OpenSSL's reason of its own.
const EVP_MD* algorithm(HashType type) {
    static std::atomic<EVP_MD*> fetched[3];
    std::atomic<EVP_MD*>& slot = fetched[type == HashType::Sha1     ? 0
                                         : type == HashType::Sha384 ? 2
                                                                    : 1];
    if (EVP_MD* known = slot.load(std::memory_order_acquire)) {
        return known;
    }
    EVP_MD* md = EVP_MD_fetch(nullptr, algorithmName(type), nullptr);
    if (md == nullptr) {
        digestFailed(type, "fetch");
    }
    EVP_MD* raced = nullptr;
    if (!slot.compare_exchange_strong(raced, md, std::memory_order_acq_rel)) {
        EVP_MD_free(md);  // another thread's fetch came first
        return raced;
    }
    return md;
}

struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, FreeContext>;

// A digest begun; throws a code-signing Error (kCryptoFailed) with OpenSSL's reason when it
// cannot begin, as update and finish do when they fail.
Context start(HashType type) {
    const EVP_MD* md = algorithm(type);
    Context context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
        digestFailed(type, "start");
    }
    return context;
}

void update(HashType type, EVP_MD_CTX* context, const void* data, std::size_t size) {
    if (EVP_DigestUpdate(context, data, size) != 1) {
        digestFailed(type, "update");
    }
}

Bytes finish(HashType type, EVP_MD_CTX* context) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, out.data(), &length) != 1 || length < hashSize(type)) {
        digestFailed(type, "finish");
    }
    out.resize(hashSize(type));
    return out;
}

constexpr std::size_t kBlock = 1 << 20;

// The read buffer of the calling thread, made once: a fresh megabyte per file, zeroed by
// the allocator, cost more than the hashing of the many small files of a bundle.
std::span<std::uint8_t> readBuffer() {
    thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kBlock]);
    return {buffer.get(), kBlock};
}

// Feeds up to `limit` bytes of the file from `offset` into the context.
void feed(HashType type, EVP_MD_CTX* context, int fd, std::uint64_t offset, std::uint64_t limit,
          const std::filesystem::path& shown) {
    const std::span<std::uint8_t> buffer = readBuffer();
    while (limit > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit, buffer.size()));
        ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw posixError(errno, "无法读取", shown);
        }
        if (n == 0) {
            throw codesignError(codesign_code::kFileShrank,
                                "“" + shown.string() + "” ends at byte " + std::to_string(offset) +
                                    ", " + std::to_string(limit) +
                                    " bytes before the hashed length");
        }
        update(type, context, buffer.data(), static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
        limit -= static_cast<std::uint64_t>(n);
    }
}

}  // namespace

std::size_t hashSize(HashType type) {
    switch (type) {
        case HashType::Sha1:
        case HashType::Sha256Truncated: return 20;
        case HashType::Sha256: return 32;
        case HashType::Sha384: return 48;
    }
    return 0;
}

int hashStrength(HashType type) {
    switch (type) {
        case HashType::Sha1: return 1;
        case HashType::Sha256Truncated: return 2;
        case HashType::Sha256: return 3;
        case HashType::Sha384: return 4;
    }
    return 0;
}

Bytes digest(HashType type, ByteView data) {
    Context context = start(type);
    update(type, context.get(), data.data(), data.size());
    return finish(type, context.get());
}

Bytes digestFile(HashType type, int fd, const std::filesystem::path& shown,
                 std::optional<std::uint64_t> limit) {
    Context context = start(type);
    if (limit) {
        feed(type, context.get(), fd, 0, *limit, shown);
        return finish(type, context.get());
    }
    const std::span<std::uint8_t> buffer = readBuffer();
    for (std::uint64_t offset = 0;;) {
        ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw posixError(errno, "无法读取", shown);
        }
        if (n == 0) {
            return finish(type, context.get());
        }
        update(type, context.get(), buffer.data(), static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

std::vector<Bytes> digestPages(HashType type, int fd, const std::filesystem::path& shown,
                               std::uint64_t limit, std::uint64_t pageSize) {
    std::vector<Bytes> pages;
    for (std::uint64_t offset = 0; offset < limit; offset += pageSize) {
        Context context = start(type);
        feed(type, context.get(), fd, offset, std::min(pageSize, limit - offset), shown);
        pages.push_back(finish(type, context.get()));
    }
    return pages;
}

DigestCache::Key DigestCache::keyOf(const struct stat& file, HashType type) {
    return {static_cast<std::int64_t>(file.st_dev),
            static_cast<std::int64_t>(file.st_ino),
            static_cast<std::int64_t>(file.st_size),
            file.st_mtim.tv_sec,
            file.st_mtim.tv_nsec,
            file.st_ctim.tv_sec,
            file.st_ctim.tv_nsec,
            static_cast<std::int64_t>(type)};
}

std::optional<Bytes> DigestCache::find(const struct stat& file, HashType type) const {
    std::lock_guard lock(mutex_);
    auto found = digests_.find(keyOf(file, type));
    return found == digests_.end() ? std::nullopt : std::optional(found->second);
}

void DigestCache::remember(const struct stat& file, HashType type, const Bytes& digest) {
    std::lock_guard lock(mutex_);
    digests_[keyOf(file, type)] = digest;
}

Bytes digestFileAt(int folder, const std::filesystem::path& relative, HashType type,
                   DigestCache* cache) {
    struct timespec before {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &before);
    struct stat st {};
    UniqueFd fd = openRegularFileAt(folder, relative, &st);
    Bytes digest = digestFile(type, fd.get(), relative);
    const bool settled =
        st.st_ctim.tv_nsec != 0 &&
        (st.st_ctim.tv_sec < before.tv_sec ||
         (st.st_ctim.tv_sec == before.tv_sec && st.st_ctim.tv_nsec < before.tv_nsec));
    if (cache != nullptr && settled) {
        cache->remember(st, type, digest);
    }
    return digest;
}

namespace {

// How long after a file is given it is read: more than a tick of the clock that stamps
// files, so that its change time is past by then.
constexpr std::chrono::milliseconds kPrefetchDelay{20};

}  // namespace

DigestPrefetch::DigestPrefetch(HashType type, DigestCache& cache) : type_(type), cache_(cache) {
    try {
        worker_ = std::thread([this] { work(); });
    } catch (const std::exception&) {
        // No thread to be had: nothing is read ahead, and the check reads it all.
    }
}

DigestPrefetch::~DigestPrefetch() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void DigestPrefetch::add(int folder, std::filesystem::path relative) {
    if (!worker_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        if (!folder_) {
            // Without a descriptor to spare, nothing is read ahead: the check reads it all.
            folder_.reset(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
        }
        queue_.emplace_back(std::chrono::steady_clock::now() + kPrefetchDelay, std::move(relative));
    }
    wake_.notify_all();
}

void DigestPrefetch::work() noexcept {
    // Nothing may leave the thread: a failure that is not one file's stops the reading
    // ahead, and the check reads the rest itself.
    try {
        readQueued();
    } catch (...) {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
}

void DigestPrefetch::readQueued() {
    lowerCurrentThreadPriority(Yield::ToFileWork);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        if (wake_.wait_until(lock, queue_.front().first, [this] { return stopping_; })) {
            return;
        }
        std::filesystem::path next = std::move(queue_.front().second);
        queue_.pop_front();
        const int folder = folder_.get();  // add() sets it under the lock
        lock.unlock();
        try {
            digestFileAt(folder, next, type_, &cache_);
        } catch (const Error& error) {
            if (isCryptoFailure(error)) {
                throw;
            }
            // Not remembered: the check that follows reads the file and reports what fails.
        }
        lock.lock();
    }
}

}  // namespace tessuro::codesign
