#include "platform/codesign/digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace tessuro::codesign {
namespace {

const EVP_MD* algorithm(HashType type) {
    switch (type) {
        case HashType::Sha1: return EVP_sha1();
        case HashType::Sha256:
        case HashType::Sha256Truncated: return EVP_sha256();
        case HashType::Sha384: return EVP_sha384();
    }
    return nullptr;
}

struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, FreeContext>;

Context start(HashType type) {
    Context context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), algorithm(type), nullptr) != 1) {
        return nullptr;
    }
    return context;
}

Bytes finish(HashType type, EVP_MD_CTX* context) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, out.data(), &length);
    out.resize(std::min<std::size_t>(length, hashSize(type)));
    return out;
}

// Feeds up to `limit` bytes of the file from `offset` into the context.
bool feed(EVP_MD_CTX* context, int fd, std::uint64_t offset, std::uint64_t limit,
          std::vector<std::uint8_t>& buffer) {
    while (limit > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(limit, buffer.size()));
        ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
        limit -= static_cast<std::uint64_t>(n);
    }
    return true;
}

constexpr std::size_t kBlock = 1 << 20;

}  // namespace

std::optional<HashType> hashTypeFromByte(std::uint8_t value) {
    if (value >= 1 && value <= 4) {
        return static_cast<HashType>(value);
    }
    return std::nullopt;
}

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
    EVP_DigestUpdate(context.get(), data.data(), data.size());
    return finish(type, context.get());
}

std::optional<Bytes> digestFile(HashType type, int fd, std::optional<std::uint64_t> limit) {
    Context context = start(type);
    std::vector<std::uint8_t> buffer(kBlock);
    if (limit) {
        if (!feed(context.get(), fd, 0, *limit, buffer)) {
            return std::nullopt;
        }
        return finish(type, context.get());
    }
    for (std::uint64_t offset = 0;;) {
        ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return finish(type, context.get());
        }
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
}

std::optional<std::vector<Bytes>> digestPages(HashType type, int fd, std::uint64_t limit,
                                              std::uint64_t pageSize) {
    std::vector<Bytes> pages;
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(pageSize, kBlock)));
    for (std::uint64_t offset = 0; offset < limit; offset += pageSize) {
        Context context = start(type);
        if (!feed(context.get(), fd, offset, std::min(pageSize, limit - offset), buffer)) {
            return std::nullopt;
        }
        pages.push_back(finish(type, context.get()));
    }
    return pages;
}

}  // namespace tessuro::codesign
