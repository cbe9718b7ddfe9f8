// The resource seal: rules that pick the files to seal by regular expression (POSIX
// extended, matched against the path below Contents/), and one entry per sealed file.

#include "platform/codesign/code_resources.h"

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <exception>
#include <numeric>
#include <set>
#include <thread>

#include "platform/codesign/digest.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/property_list.h"
#include "platform/tree_copy.h"
#include "platform/unique_fd.h"

namespace tessuro::codesign {
namespace {

struct Rule {
    std::string pattern;
    double weight = 1.0;
    bool omit = false;
    bool optional = false;
    bool nested = false;
    std::shared_ptr<regex_t> regex;

    bool matches(const std::string& path) const {
        return regexec(regex.get(), path.c_str(), 0, nullptr, 0) == 0;
    }
};

std::shared_ptr<regex_t> compile(const std::string& pattern) {
    auto regex = std::shared_ptr<regex_t>(new regex_t, [](regex_t* r) {
        regfree(r);
        delete r;
    });
    if (regcomp(regex.get(), pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
        return nullptr;
    }
    return regex;
}

// Limits on the rules a seal may bring. A signer writes a dozen short expressions with a
// quantifier or two and no interval counts. glibc's regex compiler copies the operand of
// every "{n}" and "+", and slows down badly on stacked quantifiers, so "a{1000}{1000}",
// twenty nested "+" or "R****…" would cost gigabytes or minutes; such rules make the seal
// malformed instead (found by fuzzing).
constexpr std::size_t kMaxRules = 128;
constexpr std::size_t kMaxPatternLength = 512;
constexpr std::ptrdiff_t kMaxQuantifiers = 16;
constexpr std::ptrdiff_t kMaxPlusses = 8;

bool acceptablePattern(const std::string& pattern) {
    auto quantifier = [](char c) { return c == '*' || c == '+' || c == '?'; };
    if (pattern.size() > kMaxPatternLength || pattern.find('{') != std::string::npos ||
        std::count_if(pattern.begin(), pattern.end(), quantifier) > kMaxQuantifiers ||
        std::count(pattern.begin(), pattern.end(), '+') > kMaxPlusses) {
        return false;
    }
    for (std::size_t i = 1; i < pattern.size(); ++i) {
        bool escaped = i >= 2 && pattern[i - 2] == '\\';
        if (quantifier(pattern[i]) && quantifier(pattern[i - 1]) && !escaped) {
            return false;  // a quantifier on a quantifier
        }
    }
    return true;
}

// Calls `visit(key, value)` for each entry of a dictionary until it answers false.
template <class Visit>
void forEachEntry(plist_t dict, Visit&& visit) {
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(dict, &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, it, &key, &value);
        if (key == nullptr) {
            break;
        }
        std::string name = key;
        free(key);
        if (!visit(name, value)) {
            break;
        }
    }
    free(it);
}

// A Boolean entry of a dictionary; false when missing or of another type.
bool flagOf(plist_t dict, const char* name) {
    plist_t node = plist_dict_get_item(dict, name);
    uint8_t value = 0;
    if (node != nullptr && plist_get_node_type(node) == PLIST_BOOLEAN) {
        plist_get_bool_val(node, &value);
    }
    return value != 0;
}

// The rules of one version; nothing when a rule is malformed.
std::optional<std::vector<Rule>> readRules(plist_t dict) {
    std::vector<Rule> rules;
    if (dict == nullptr || plist_get_node_type(dict) != PLIST_DICT ||
        plist_dict_get_size(dict) > kMaxRules) {
        return std::nullopt;
    }
    bool ok = true;
    forEachEntry(dict, [&](const std::string& pattern, plist_t value) {
        Rule rule;
        rule.pattern = pattern;
        rule.regex = acceptablePattern(pattern) ? compile(pattern) : nullptr;
        plist_type type = plist_get_node_type(value);
        if (!rule.regex || (type != PLIST_BOOLEAN && type != PLIST_DICT)) {
            return ok = false;
        }
        if (type == PLIST_BOOLEAN) {
            uint8_t flag = 0;
            plist_get_bool_val(value, &flag);
            rule.omit = flag == 0;
        } else {
            rule.omit = flagOf(value, "omit");
            rule.optional = flagOf(value, "optional");
            rule.nested = flagOf(value, "nested");
            if (plist_t weight = plist_dict_get_item(value, "weight")) {
                if (plist_get_node_type(weight) == PLIST_REAL) {
                    plist_get_real_val(weight, &rule.weight);
                } else if (plist_get_node_type(weight) == PLIST_UINT) {
                    uint64_t w = 0;
                    plist_get_uint_val(weight, &w);
                    rule.weight = static_cast<double>(w);
                } else {
                    return ok = false;
                }
            }
        }
        rules.push_back(std::move(rule));
        return true;
    });
    if (!ok) {
        return std::nullopt;
    }
    return rules;
}

// The rule that decides for a path: the matching rule of the highest weight.
const Rule* findRule(const std::vector<Rule>& rules, const std::string& path) {
    const Rule* best = nullptr;
    for (const Rule& rule : rules) {
        if (rule.matches(path) && (best == nullptr || rule.weight > best->weight)) {
            best = &rule;
        }
    }
    return best;
}

// Paths no seal ever covers: the signature and its legacy link, the store receipt.
bool alwaysExcluded(const std::string& path, const std::vector<std::string>& excluded) {
    auto under = [&](const char* folder) {
        std::size_t n = std::strlen(folder);
        return path.compare(0, n, folder) == 0 && (path.size() == n || path[n] == '/');
    };
    return under("_CodeSignature") || under("_MASReceipt") || path == "CodeResources" ||
           std::find(excluded.begin(), excluded.end(), path) != excluded.end();
}

struct DiskItem {
    bool symlink = false;
    std::string target;       // link target
    struct stat status = {};  // of a file, as the walk found it
};

// Every file and link below the folder, by path relative to it, never following a link.
// Other kinds of item make the walk fail.
bool walk(int folder, const std::string& prefix, std::map<std::string, DiskItem>& items,
          const std::vector<std::string>& excluded, int depth) {
    if (depth > kMaxTreeDepth) {
        return false;
    }
    std::vector<std::string> names;
    try {
        names = folderEntries(folder, prefix);
    } catch (const Error&) {
        return false;
    }
    for (const std::string& name : names) {
        std::string path = prefix.empty() ? name : prefix + "/" + name;
        if (alwaysExcluded(path, excluded)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            UniqueFd sub(
                ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub || !walk(sub.get(), path, items, excluded, depth + 1)) {
                return false;
            }
        } else if (S_ISLNK(st.st_mode)) {
            // A target fits in PATH_MAX whatever size the link reports.
            std::vector<char> target(
                std::min(static_cast<std::size_t>(st.st_size), std::size_t{PATH_MAX}) + 2);
            ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), target.size());
            if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
                return false;
            }
            items[path] = DiskItem{true, std::string(target.data(), static_cast<std::size_t>(n))};
        } else {
            // A regular file, or a special file that fails later.
            items[path] = DiskItem{false, {}, st};
        }
    }
    return true;
}

// The digest of a sealed file; nothing when it is not a regular file reached without
// following a link (a folder on its way may have been swapped for one since the walk).

std::optional<Bytes> dataOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) {
        return std::nullopt;
    }
    char* data = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &data, &length);
    Bytes bytes(data, data + length);
    free(data);
    return bytes;
}

// A file whose content must be hashed to be checked; the hashing runs later, in parallel.
struct HashJob {
    std::string path;
    HashType type;
    Bytes expected;
    std::uint64_t size;
};

// An entry of "files" or "files2" checked against the disk, except the content of a sealed
// file, which becomes a job.
ResourceCheck checkEntry(plist_t entry, const DiskItem& item, const std::string& path,
                         std::vector<HashJob>& jobs, const DigestCache* cache) {
    std::optional<Bytes> sha1, sha256;
    if (plist_get_node_type(entry) == PLIST_DATA) {
        sha1 = dataOf(entry);
    } else if (plist_get_node_type(entry) == PLIST_DICT) {
        if (plist_dict_get_item(entry, "cdhash") != nullptr ||
            plist_dict_get_item(entry, "requirement") != nullptr) {
            return ResourceCheck::Unsupported;  // nested code
        }
        if (plist_t link = plist_dict_get_item(entry, "symlink")) {
            std::optional<std::string> target = plistString(link);
            if (!target) {
                return ResourceCheck::Malformed;
            }
            return item.symlink && item.target == *target ? ResourceCheck::Intact
                                                          : ResourceCheck::Modified;
        }
        sha1 = dataOf(plist_dict_get_item(entry, "hash"));
        sha256 = dataOf(plist_dict_get_item(entry, "hash2"));
    } else {
        return ResourceCheck::Malformed;
    }
    if (!sha1 && !sha256) {
        return ResourceCheck::Malformed;
    }
    if (item.symlink) {
        return ResourceCheck::Modified;  // a link where a file was sealed
    }
    const HashType type = sha256 ? HashType::Sha256 : HashType::Sha1;
    Bytes expected = sha256 ? std::move(*sha256) : std::move(*sha1);
    if (cache != nullptr && S_ISREG(item.status.st_mode)) {
        // The file as the walk found it, unchanged since its digest was taken.
        if (std::optional<Bytes> known = cache->find(item.status, type)) {
            return *known == expected ? ResourceCheck::Intact : ResourceCheck::Modified;
        }
    }
    jobs.push_back(
        HashJob{path, type, std::move(expected), static_cast<std::uint64_t>(item.status.st_size)});
    return ResourceCheck::Intact;
}

// Runs the hash jobs on every core; the first job (in path order) whose file does not
// match, if any.
const HashJob* firstMismatch(const std::vector<HashJob>& jobs, int contentsFd, DigestCache* cache) {
    // The largest files first, so that no thread is left hashing a large one alone at the end.
    std::vector<std::size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return jobs[a].size > jobs[b].size; });
    std::vector<char> intact(jobs.size(), 0);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t n = next++; n < order.size(); n = next++) {
            const HashJob& job = jobs[order[n]];
            std::optional<Bytes> actual = digestFileAt(contentsFd, job.path, job.type, cache);
            intact[order[n]] = actual && *actual == job.expected;
        }
    };
    std::size_t threads =
        std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), jobs.size());
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) {
        pool.emplace_back(work);
    }
    work();
    for (std::thread& thread : pool) {
        thread.join();
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!intact[i]) {
            return &jobs[i];
        }
    }
    return nullptr;
}

struct DefaultRule {
    const char* pattern;
    double weight;
    bool omit;
    bool optional;
    bool nested;
};

// The rules a signer writes for version 2.
constexpr DefaultRule kRules2[] = {
    {"^.*", 1, false, false, false},
    {"^[^/]+$", 10, false, false, true},
    {"^(Frameworks|SharedFrameworks|PlugIns|Plug-ins|XPCServices|Helpers|MacOS|Library/"
     "(Automator|Spotlight|LoginItems))/",
     10, false, false, true},
    {".*\\.dSYM($|/)", 11, false, false, false},
    {"^(.*/)?\\.DS_Store$", 2000, true, false, false},
    {"^Info\\.plist$", 20, true, false, false},
    {"^PkgInfo$", 20, true, false, false},
    {"^Resources/", 20, false, false, false},
    {"^Resources/.*\\.lproj/", 1000, false, true, false},
    {"^Resources/.*\\.lproj/locversion.plist$", 1100, true, false, false},
    {"^Resources/Base\\.lproj/", 1010, false, false, false},
    {"^embedded\\.provisionprofile$", 20, false, false, false},
    {"^version\\.plist$", 20, false, false, false},
};

// The rules a signer writes for version 1.
constexpr DefaultRule kRules1[] = {
    {"^Resources/", 1, false, false, false},
    {"^Resources/.*\\.lproj/", 1000, false, true, false},
    {"^Resources/.*\\.lproj/locversion.plist$", 1100, true, false, false},
    {"^Resources/Base\\.lproj/", 1010, false, false, false},
    {"^version.plist$", 1, false, false, false},
};

template <std::size_t N>
std::vector<Rule> defaultRules(const DefaultRule (&table)[N]) {
    std::vector<Rule> rules;
    for (const DefaultRule& d : table) {
        rules.push_back(
            Rule{d.pattern, d.weight, d.omit, d.optional, d.nested, compile(d.pattern)});
    }
    return rules;
}

template <std::size_t N>
plist_t rulesPlist(const DefaultRule (&table)[N]) {
    plist_t dict = plist_new_dict();
    for (const DefaultRule& d : table) {
        if (d.weight == 1 && !d.omit && !d.optional && !d.nested) {
            plist_dict_set_item(dict, d.pattern, plist_new_bool(1));
            continue;
        }
        plist_t rule = plist_new_dict();
        if (d.omit) {
            plist_dict_set_item(rule, "omit", plist_new_bool(1));
        }
        if (d.optional) {
            plist_dict_set_item(rule, "optional", plist_new_bool(1));
        }
        if (d.nested) {
            plist_dict_set_item(rule, "nested", plist_new_bool(1));
        }
        plist_dict_set_item(rule, "weight", plist_new_real(d.weight));
        plist_dict_set_item(dict, d.pattern, rule);
    }
    return dict;
}

plist_t dataNode(const Bytes& bytes) {
    return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

ResourceVerdict verifyResources(ByteView codeResources, int contentsFd,
                                const std::vector<std::string>& excluded, DigestCache* cache) {
    // The disk is walked while the seal is parsed: the two take about as long.
    std::map<std::string, DiskItem> disk;
    bool walked = false;
    std::exception_ptr walkFailure;  // handed back to this thread, as if it had walked
    std::thread walker([&] {
        try {
            walked = walk(contentsFd, "", disk, excluded, 0);
        } catch (...) {
            walkFailure = std::current_exception();
        }
    });
    struct Joined {
        std::thread& thread;
        ~Joined() {
            if (thread.joinable()) {
                thread.join();
            }
        }
    } joined{walker};
    std::optional<PropertyList> plist;
    try {
        plist.emplace(PropertyList::parse(
            std::string_view(reinterpret_cast<const char*>(codeResources.data()),
                             codeResources.size()),
            "CodeResources"));
    } catch (...) {
        return {ResourceCheck::Malformed, {}};
    }
    if (!plist->isDictionary()) {
        return {ResourceCheck::Malformed, {}};
    }
    bool version2 = plist_dict_get_item(plist->root(), "files2") != nullptr;
    plist_t files = plist_dict_get_item(plist->root(), version2 ? "files2" : "files");
    std::optional<std::vector<Rule>> rules =
        readRules(plist_dict_get_item(plist->root(), version2 ? "rules2" : "rules"));
    if (!rules || files == nullptr || plist_get_node_type(files) != PLIST_DICT) {
        return {ResourceCheck::Malformed, {}};
    }

    // Nested code carries a signature of its own, which this verifier does not check.
    ResourceVerdict nested;
    forEachEntry(files, [&](const std::string& path, plist_t entry) {
        if (plist_get_node_type(entry) == PLIST_DICT &&
            (plist_dict_get_item(entry, "cdhash") != nullptr ||
             plist_dict_get_item(entry, "requirement") != nullptr)) {
            nested = {ResourceCheck::Unsupported, path};
            return false;
        }
        return true;
    });
    if (nested.check != ResourceCheck::Intact) {
        return nested;
    }

    walker.join();
    if (walkFailure) {
        std::rethrow_exception(walkFailure);
    }
    if (!walked) {
        return {ResourceCheck::Modified, {}};
    }

    // Every covered file on disk needs its entry, and matches it.
    std::vector<HashJob> jobs;
    for (const auto& [path, item] : disk) {
        const Rule* rule = findRule(*rules, path);
        if (rule == nullptr || rule->omit) {
            continue;
        }
        plist_t entry = plist_dict_get_item(files, path.c_str());
        if (entry == nullptr) {
            return {ResourceCheck::Added, path};
        }
        if (!version2 && item.symlink) {
            return {ResourceCheck::Unsupported, path};  // version 1 sealed links by following them
        }
        ResourceCheck check = checkEntry(entry, item, path, jobs, cache);
        if (check != ResourceCheck::Intact) {
            return {check, path};
        }
    }
    if (const HashJob* mismatch = firstMismatch(jobs, contentsFd, cache)) {
        return {ResourceCheck::Modified, mismatch->path};
    }

    // Every entry needs its file, unless it is optional.
    ResourceVerdict verdict;
    forEachEntry(files, [&](const std::string& path, plist_t entry) {
        if (disk.count(path) != 0) {
            return true;
        }
        const Rule* rule = findRule(*rules, path);
        bool optional = (plist_get_node_type(entry) == PLIST_DICT && flagOf(entry, "optional")) ||
                        (rule != nullptr && rule->optional);
        if (!optional) {
            verdict = {ResourceCheck::Missing, path};
        }
        return optional;
    });
    return verdict;
}

Bytes buildResources(int contentsFd, const std::vector<std::string>& excluded) {
    std::map<std::string, DiskItem> disk;
    if (!walk(contentsFd, "", disk, excluded, 0)) {
        return {};
    }
    std::vector<Rule> rules2 = defaultRules(kRules2);
    std::vector<Rule> rules1 = defaultRules(kRules1);
    plist_t files = plist_new_dict();
    plist_t files2 = plist_new_dict();
    bool ok = true;
    for (const auto& [path, item] : disk) {
        const Rule* rule2 = findRule(rules2, path);
        const Rule* rule1 = findRule(rules1, path);
        if (item.symlink) {
            if (rule2 != nullptr && !rule2->omit) {
                plist_t entry = plist_new_dict();
                plist_dict_set_item(entry, "symlink", plist_new_string(item.target.c_str()));
                plist_dict_set_item(files2, path.c_str(), entry);
            }
            continue;
        }
        std::optional<Bytes> sha1 = digestFileAt(contentsFd, path, HashType::Sha1, nullptr);
        std::optional<Bytes> sha256 = digestFileAt(contentsFd, path, HashType::Sha256, nullptr);
        if (!sha1 || !sha256) {
            ok = false;
            break;
        }
        if (rule2 != nullptr && !rule2->omit) {
            plist_t entry = plist_new_dict();
            plist_dict_set_item(entry, "hash", dataNode(*sha1));
            plist_dict_set_item(entry, "hash2", dataNode(*sha256));
            if (rule2->optional) {
                plist_dict_set_item(entry, "optional", plist_new_bool(1));
            }
            plist_dict_set_item(files2, path.c_str(), entry);
        }
        if (rule1 != nullptr && !rule1->omit) {
            if (rule1->optional) {
                plist_t entry = plist_new_dict();
                plist_dict_set_item(entry, "hash", dataNode(*sha1));
                plist_dict_set_item(entry, "optional", plist_new_bool(1));
                plist_dict_set_item(files, path.c_str(), entry);
            } else {
                plist_dict_set_item(files, path.c_str(), dataNode(*sha1));
            }
        }
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "files", files);
    plist_dict_set_item(root, "files2", files2);
    plist_dict_set_item(root, "rules", rulesPlist(kRules1));
    plist_dict_set_item(root, "rules2", rulesPlist(kRules2));
    Bytes out;
    if (ok) {
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(root, &xml, &length);
        out.assign(xml, xml + length);
        free(xml);
    }
    plist_free(root);
    return out;
}

}  // namespace tessuro::codesign
