#pragma once

#include <cstdint>
#include <optional>

#include "platform/codesign/blob.h"

namespace tessuro::codesign {

// The hash types of a CodeDirectory.
enum class HashType : std::uint8_t {
    Sha1 = 1,
    Sha256 = 2,
    Sha256Truncated = 3,  // SHA-256 cut to 20 bytes
    Sha384 = 4,
};

std::optional<HashType> hashTypeFromByte(std::uint8_t value);
std::size_t hashSize(HashType type);
// Preference among several CodeDirectories: the higher, the stronger.
int hashStrength(HashType type);

Bytes digest(HashType type, ByteView data);

// The digest of a whole open file read in large blocks, or of its first `limit` bytes. A
// file shorter than the limit answers nothing.
std::optional<Bytes> digestFile(HashType type, int fd, std::optional<std::uint64_t> limit = {});

// The digest of each `pageSize` page of the file's first `limit` bytes.
std::optional<std::vector<Bytes>> digestPages(HashType type, int fd, std::uint64_t limit,
                                              std::uint64_t pageSize);

}  // namespace tessuro::codesign
