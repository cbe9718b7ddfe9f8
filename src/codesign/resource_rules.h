#pragma once

#include <plist/plist.h>
#include <regex.h>

#include <memory>
#include <string>
#include <vector>

namespace tessuro::codesign {

// One rule of a resource seal: a POSIX extended regular expression, matched against a
// path below Contents/, and what it says about the paths it matches.
struct ResourceRule {
    std::string pattern;
    double weight = 1.0;
    bool omit = false;      // not sealed
    bool optional = false;  // sealed, but may be missing
    bool nested = false;    // nested code, sealed by its own signature
    std::shared_ptr<regex_t> regex;

    bool matches(const std::string& path) const;
};

// The rules of one version of a seal ("rules" or "rules2").
class ResourceRules {
public:
    // The rules of a seal's dictionary. Throws a code-signing Error (kMalformed) for a rule
    // that is not what a signer writes, or whose expression this verifier will not run.
    static ResourceRules fromPlist(plist_t dict);
    // The rules a signer writes for version 1 or version 2.
    static ResourceRules defaults(int version);

    // The rule that decides for a path: the matching rule of the highest weight, if any.
    const ResourceRule* find(const std::string& path) const;
    // Whether a rule covers the path and does not omit it.
    bool seals(const std::string& path) const;
    // The rules as a seal's dictionary, owned by the caller.
    plist_t toPlist() const;

private:
    std::vector<ResourceRule> rules_;
};

}  // namespace tessuro::codesign
