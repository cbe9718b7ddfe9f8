// The check of a resource seal: the files below Contents against the entries of
// CodeResources, under its rules.

#include "codesign/resource_seal_check.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <numeric>
#include <optional>
#include <thread>

#include "codesign/plist_nodes.h"
#include "codesign/resource_rules.h"
#include "codesign/resource_tree.h"
#include "codesign/signature_layout.h"
#include "codesign/status.h"
#include "platform/property_list.h"

namespace tessuro::codesign {
namespace {

[[noreturn]] void malformed(const std::string& reason) {
    throw refusal(kStatusMalformed, "CodeResources is malformed: " + reason);
}

// The entries and rules of the version the seal is checked by: 2 when it has "files2".
struct Seal {
    PropertyList plist;
    bool version2 = false;
    plist_t files = nullptr;
    ResourceRules rules;
};

Seal readSeal(ByteView codeResources) {
    try {
        Seal seal{PropertyList::parse(
                      std::string_view(reinterpret_cast<const char*>(codeResources.data()),
                                       codeResources.size()),
                      "CodeResources", layout::kResourceSealLimits),
                  false, nullptr, ResourceRules()};
        if (!seal.plist.isDictionary()) {
            malformed("it is not a dictionary");
        }
        seal.version2 = plist_dict_get_item(seal.plist.root(), "files2") != nullptr;
        seal.files = plist_dict_get_item(seal.plist.root(), seal.version2 ? "files2" : "files");
        if (!isOfType(seal.files, PLIST_DICT)) {
            malformed("its files are not a dictionary");
        }
        seal.rules = ResourceRules::fromPlist(
            plist_dict_get_item(seal.plist.root(), seal.version2 ? "rules2" : "rules"));
        return seal;
    } catch (const Error& error) {
        if (error.domain() == kCheckRefusalDomain) {
            throw;
        }
        malformed(error.what());
    }
}

bool isNestedCode(plist_t entry) {
    return isOfType(entry, PLIST_DICT) && (plist_dict_get_item(entry, "cdhash") != nullptr ||
                                           plist_dict_get_item(entry, "requirement") != nullptr);
}

// Nested code carries a signature of its own, which this verifier does not check.
void refuseNestedCode(plist_t files) {
    forEachEntry(files, [&](const std::string& path, plist_t entry) {
        if (isNestedCode(entry)) {
            throw refusal(kStatusUnsupported, "cannot check: " + path);
        }
        return true;
    });
}

// The walk of the disk, on a thread of its own while the seal is parsed: the two take
// about as long. A failure of the walk is handed back to the caller, as if it had walked.
// Without a thread to be had (the user's process limit, a full task group, no memory for
// one), the caller walks when it asks for the result.
class BackgroundWalk {
public:
    BackgroundWalk(int contentsFd, const std::vector<std::string>& excluded)
        : contentsFd_(contentsFd), excluded_(excluded) {
        try {
            thread_ = std::thread([this] { walk(); });
        } catch (const std::exception&) {
        }
    }
    ~BackgroundWalk() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    ResourceWalk result() {
        if (thread_.joinable()) {
            thread_.join();
        } else {
            walk();
        }
        try {
            if (failure_) {
                std::rethrow_exception(failure_);
            }
        } catch (const Error& error) {
            throw refusal(kStatusResourceModified,
                          std::string("the resources cannot be read: ") + error.what());
        }
        return std::move(tree_);
    }

private:
    void walk() noexcept {
        try {
            tree_ = walkResources(contentsFd_, excluded_);
        } catch (...) {
            failure_ = std::current_exception();
        }
    }

    int contentsFd_;
    const std::vector<std::string>& excluded_;
    ResourceWalk tree_;
    std::exception_ptr failure_;
    std::thread thread_;
};

// A file whose content must be hashed to be checked; the hashing runs later, in parallel.
struct HashJob {
    std::string path;
    HashType type;
    Bytes expected;
    std::uint64_t size;
};

// A link's entry: its target as a string, compared with the link on disk.
void checkLinkEntry(plist_t link, const ResourceItem& item, const std::string& path) {
    std::optional<std::string> target = plistString(link);
    if (!target) {
        malformed("the link target of " + path + " is not a string");
    }
    if (!item.symlink || item.target != *target) {
        throw refusal(kStatusResourceModified, "modified: " + path);
    }
}

// An entry of "files" or "files2" checked against the disk, except the content of a sealed
// file, which becomes a job unless the memo knows the file unchanged.
void checkEntry(plist_t entry, const ResourceItem& item, const std::string& path,
                std::vector<HashJob>& jobs, const DigestCache* cache) {
    plist_t sha1 = entry;
    plist_t sha256 = nullptr;
    if (isOfType(entry, PLIST_DICT)) {
        if (plist_t link = plist_dict_get_item(entry, "symlink")) {
            return checkLinkEntry(link, item, path);
        }
        sha1 = plist_dict_get_item(entry, "hash");
        sha256 = plist_dict_get_item(entry, "hash2");
    } else if (!isOfType(entry, PLIST_DATA)) {
        malformed("the entry of " + path + " is neither data nor a dictionary");
    }
    const bool hasSha1 = isOfType(sha1, PLIST_DATA);
    const bool hasSha256 = isOfType(sha256, PLIST_DATA);
    if (!hasSha1 && !hasSha256) {
        malformed("the entry of " + path + " has no hash");
    }
    if (item.symlink) {
        throw refusal(kStatusResourceModified, "modified: " + path);  // a link for a file
    }
    const HashType type = hasSha256 ? HashType::Sha256 : HashType::Sha1;
    Bytes expected = dataOf(hasSha256 ? sha256 : sha1);
    if (cache != nullptr && S_ISREG(item.status.st_mode)) {
        // The file as the walk found it, unchanged since its digest was taken.
        if (std::optional<Bytes> known = cache->find(item.status, type)) {
            if (*known != expected) {
                throw refusal(kStatusResourceModified, "modified: " + path);
            }
            return;
        }
    }
    jobs.push_back(
        HashJob{path, type, std::move(expected), static_cast<std::uint64_t>(item.status.st_size)});
}

// Every file on disk that a rule seals needs its entry, and matches it.
std::vector<HashJob> checkSealedFiles(const Seal& seal, const ResourceTree& tree,
                                      const DigestCache* cache) {
    std::vector<HashJob> jobs;
    for (const auto& [path, item] : tree) {
        if (!seal.rules.seals(path)) {
            continue;
        }
        plist_t entry = plist_dict_get_item(seal.files, path.c_str());
        if (entry == nullptr) {
            throw refusal(kStatusResourceAdded, "added: " + path);
        }
        if (!seal.version2 && item.symlink) {
            // Version 1 sealed links by following them; this verifier never follows one.
            throw refusal(kStatusUnsupported, "cannot check: " + path);
        }
        checkEntry(entry, item, path, jobs, cache);
    }
    return jobs;
}

// The threads started beside the caller's; each is joined, whichever way the caller leaves.
class JoinedThreads {
public:
    explicit JoinedThreads(std::size_t count) { threads_.reserve(count); }
    ~JoinedThreads() { join(); }
    JoinedThreads(const JoinedThreads&) = delete;
    JoinedThreads& operator=(const JoinedThreads&) = delete;

    // False when no thread could be started (the user's process limit, a full task group,
    // no memory for one).
    template <class Work>
    bool start(Work work) noexcept {
        try {
            threads_.emplace_back(std::move(work));
            return true;
        } catch (...) {
            return false;
        }
    }

    void join() noexcept {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

private:
    std::vector<std::thread> threads_;
};

// Runs the hash jobs on every core that a thread can be had for, and on the caller's; the
// first job (in path order) whose file does not match, or cannot be read, if any. A
// failure that is not the file's is thrown once every thread has ended.
const HashJob* firstMismatch(const std::vector<HashJob>& jobs, int contentsFd, DigestCache* cache) {
    // The largest files first, so that no thread is left hashing a large one alone at the end.
    std::vector<std::size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return jobs[a].size > jobs[b].size; });
    std::vector<char> intact(jobs.size(), 0);
    const std::size_t threads =
        std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), jobs.size());
    // One slot per thread, the caller's first, for the failure that stopped it.
    std::vector<std::exception_ptr> failures(std::max<std::size_t>(threads, 1));
    std::atomic<std::size_t> next{0};
    auto work = [&](std::size_t slot) noexcept {
        for (std::size_t n = next++; n < order.size(); n = next++) {
            const HashJob& job = jobs[order[n]];
            try {
                try {
                    intact[order[n]] =
                        digestFileAt(contentsFd, job.path, job.type, cache) == job.expected;
                } catch (const Error& error) {
                    if (isCryptoFailure(error)) {
                        throw;
                    }
                    // Not a regular file reached without a link, unreadable, or shorter than
                    // it was: not the sealed one.
                }
            } catch (...) {
                // OpenSSL failing, no memory: nothing said of the file, and the check stops.
                failures[slot] = std::current_exception();
                next = order.size();  // the other threads stop at their next job
                return;
            }
        }
    };
    {
        JoinedThreads pool(threads);
        for (std::size_t t = 1; t < threads; ++t) {
            if (!pool.start([&work, t] { work(t); })) {
                break;  // no more threads to be had: those running, and this one, share the jobs
            }
        }
        work(0);
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!intact[i]) {
            return &jobs[i];
        }
    }
    return nullptr;
}

// Every entry needs its file, unless the entry or its rule makes it optional.
void checkEntriesPresent(const Seal& seal, const ResourceTree& tree) {
    forEachEntry(seal.files, [&](const std::string& path, plist_t entry) {
        if (tree.count(path) != 0) {
            return true;
        }
        const ResourceRule* rule = seal.rules.find(path);
        const bool optional = (isOfType(entry, PLIST_DICT) && flagOf(entry, "optional")) ||
                              (rule != nullptr && rule->optional);
        if (!optional) {
            throw refusal(kStatusResourceMissing, "missing: " + path);
        }
        return true;
    });
}

// The executables the seal leaves out, beside those where no seal looks.
std::vector<std::string> unsealedExecutables(const Seal& seal, ResourceWalk walk) {
    std::vector<std::string> unsealed = std::move(walk.outsideExecutables);
    for (const auto& [path, item] : walk.items) {
        if (!item.symlink && S_ISREG(item.status.st_mode) && (item.status.st_mode & 0111) != 0 &&
            path != layout::kInfoPlist && !seal.rules.seals(path)) {
            unsealed.push_back(path);
        }
    }
    return unsealed;
}

}  // namespace

std::vector<std::string> checkResourceSeal(ByteView codeResources, int contentsFd,
                                           const std::vector<std::string>& excluded,
                                           DigestCache* cache) {
    BackgroundWalk walk(contentsFd, excluded);
    const Seal seal = readSeal(codeResources);
    refuseNestedCode(seal.files);
    ResourceWalk disk = walk.result();
    const std::vector<HashJob> jobs = checkSealedFiles(seal, disk.items, cache);
    if (const HashJob* mismatch = firstMismatch(jobs, contentsFd, cache)) {
        throw refusal(kStatusResourceModified, "modified: " + mismatch->path);
    }
    checkEntriesPresent(seal, disk.items);
    return unsealedExecutables(seal, std::move(disk));
}

}  // namespace tessuro::codesign
