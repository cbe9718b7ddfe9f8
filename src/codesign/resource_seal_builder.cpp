// The resource seal as a signer writes it: an entry for every file and link the default
// rules seal, in both versions of the format.

#include "codesign/resource_seal_builder.h"

#include "codesign/digest.h"
#include "codesign/plist_nodes.h"
#include "codesign/resource_rules.h"
#include "codesign/resource_tree.h"

namespace tessuro::codesign {
namespace {

struct PlistFree {
    void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

class SealBuilder {
public:
    SealBuilder() : files_(plist_new_dict()), files2_(plist_new_dict()) {}

    void addLink(const std::string& path, const std::string& target) {
        if (!rules2_.seals(path)) {
            return;  // version 1 does not seal links
        }
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "symlink", plist_new_string(target.c_str()));
        plist_dict_set_item(files2_.get(), path.c_str(), entry);
    }

    void addFile(int contentsFd, const std::string& path) {
        const ResourceRule* rule2 = rules2_.find(path);
        const ResourceRule* rule1 = rules1_.find(path);
        const Bytes sha1 = digestFileAt(contentsFd, path, HashType::Sha1, nullptr);
        const Bytes sha256 = digestFileAt(contentsFd, path, HashType::Sha256, nullptr);
        if (rule2 != nullptr && !rule2->omit) {
            plist_t entry = plist_new_dict();
            plist_dict_set_item(entry, "hash", dataNode(sha1));
            plist_dict_set_item(entry, "hash2", dataNode(sha256));
            if (rule2->optional) {
                plist_dict_set_item(entry, "optional", plist_new_bool(1));
            }
            plist_dict_set_item(files2_.get(), path.c_str(), entry);
        }
        if (rule1 != nullptr && !rule1->omit) {
            plist_t entry = dataNode(sha1);
            if (rule1->optional) {
                plist_t withFlag = plist_new_dict();
                plist_dict_set_item(withFlag, "hash", entry);
                plist_dict_set_item(withFlag, "optional", plist_new_bool(1));
                entry = withFlag;
            }
            plist_dict_set_item(files_.get(), path.c_str(), entry);
        }
    }

    Bytes xml() {
        PlistPtr root(plist_new_dict());
        plist_dict_set_item(root.get(), "files", files_.release());
        plist_dict_set_item(root.get(), "files2", files2_.release());
        plist_dict_set_item(root.get(), "rules", rules1_.toPlist());
        plist_dict_set_item(root.get(), "rules2", rules2_.toPlist());
        return xmlOf(root.get());
    }

private:
    ResourceRules rules1_ = ResourceRules::defaults(1);
    ResourceRules rules2_ = ResourceRules::defaults(2);
    PlistPtr files_;
    PlistPtr files2_;
};

}  // namespace

Bytes buildResourceSeal(int contentsFd, const std::vector<std::string>& excluded) {
    SealBuilder builder;
    for (const auto& [path, item] : walkResources(contentsFd, excluded).items) {
        if (item.symlink) {
            builder.addLink(path, item.target);
        } else {
            builder.addFile(contentsFd, path);
        }
    }
    return builder.xml();
}

}  // namespace tessuro::codesign
