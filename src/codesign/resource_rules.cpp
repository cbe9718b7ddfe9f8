#include "codesign/resource_rules.h"

#include <algorithm>
#include <span>

#include "codesign/plist_nodes.h"
#include "codesign/status.h"

namespace tessuro::codesign {
namespace {

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

[[noreturn]] void malformed(const std::string& what) {
    throw codesignError(codesign_code::kMalformed, "CodeResources " + what);
}

std::shared_ptr<regex_t> compile(const std::string& pattern) {
    if (!acceptablePattern(pattern)) {
        malformed("has a rule this verifier will not run: " + pattern.substr(0, 64));
    }
    auto regex = std::shared_ptr<regex_t>(new regex_t, [](regex_t* r) {
        regfree(r);
        delete r;
    });
    if (int error = regcomp(regex.get(), pattern.c_str(), REG_EXTENDED | REG_NOSUB); error != 0) {
        char reason[128];
        regerror(error, nullptr, reason, sizeof reason);
        malformed("has a rule that is no regular expression (" + std::string(reason) +
                  "): " + pattern.substr(0, 64));
    }
    return regex;
}

// A rule's dictionary: omit, optional, nested and a weight, real or integer.
void readRuleDictionary(plist_t value, ResourceRule& rule) {
    rule.omit = flagOf(value, "omit");
    rule.optional = flagOf(value, "optional");
    rule.nested = flagOf(value, "nested");
    plist_t weight = plist_dict_get_item(value, "weight");
    if (weight == nullptr) {
        return;
    }
    if (isOfType(weight, PLIST_REAL)) {
        plist_get_real_val(weight, &rule.weight);
    } else if (isOfType(weight, PLIST_UINT)) {
        std::uint64_t w = 0;
        plist_get_uint_val(weight, &w);
        rule.weight = static_cast<double>(w);
    } else {
        malformed("gives the rule " + rule.pattern.substr(0, 64) + " a weight that is no number");
    }
}

ResourceRule readRule(const std::string& pattern, plist_t value) {
    ResourceRule rule;
    rule.pattern = pattern;
    if (isOfType(value, PLIST_BOOLEAN)) {
        std::uint8_t flag = 0;
        plist_get_bool_val(value, &flag);
        rule.omit = flag == 0;
    } else if (isOfType(value, PLIST_DICT)) {
        readRuleDictionary(value, rule);
    } else {
        malformed("has a rule that is neither a Boolean nor a dictionary");
    }
    rule.regex = compile(pattern);
    return rule;
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

}  // namespace

bool ResourceRule::matches(const std::string& path) const {
    return regexec(regex.get(), path.c_str(), 0, nullptr, 0) == 0;
}

ResourceRules ResourceRules::fromPlist(plist_t dict) {
    if (!isOfType(dict, PLIST_DICT)) {
        malformed("has no rules dictionary");
    }
    if (plist_dict_get_size(dict) > kMaxRules) {
        malformed("has more than " + std::to_string(kMaxRules) + " rules");
    }
    ResourceRules rules;
    forEachEntry(dict, [&](const std::string& pattern, plist_t value) {
        rules.rules_.push_back(readRule(pattern, value));
        return true;
    });
    return rules;
}

ResourceRules ResourceRules::defaults(int version) {
    ResourceRules rules;
    for (const DefaultRule& d : version == 1 ? std::span<const DefaultRule>(kRules1)
                                             : std::span<const DefaultRule>(kRules2)) {
        rules.rules_.push_back(
            ResourceRule{d.pattern, d.weight, d.omit, d.optional, d.nested, compile(d.pattern)});
    }
    return rules;
}

const ResourceRule* ResourceRules::find(const std::string& path) const {
    const ResourceRule* best = nullptr;
    for (const ResourceRule& rule : rules_) {
        if (rule.matches(path) && (best == nullptr || rule.weight > best->weight)) {
            best = &rule;
        }
    }
    return best;
}

bool ResourceRules::seals(const std::string& path) const {
    const ResourceRule* rule = find(path);
    return rule != nullptr && !rule->omit;
}

plist_t ResourceRules::toPlist() const {
    plist_t dict = plist_new_dict();
    for (const ResourceRule& r : rules_) {
        if (r.weight == 1 && !r.omit && !r.optional && !r.nested) {
            plist_dict_set_item(dict, r.pattern.c_str(), plist_new_bool(1));
            continue;
        }
        plist_t rule = plist_new_dict();
        for (const auto& [flag, name] :
             {std::pair{r.omit, "omit"}, {r.optional, "optional"}, {r.nested, "nested"}}) {
            if (flag) {
                plist_dict_set_item(rule, name, plist_new_bool(1));
            }
        }
        plist_dict_set_item(rule, "weight", plist_new_real(r.weight));
        plist_dict_set_item(dict, r.pattern.c_str(), rule);
    }
    return dict;
}

}  // namespace tessuro::codesign
