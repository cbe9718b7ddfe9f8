// Info.plist reading: any bytes, XML or binary or neither.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/error.h"
#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        tessuro::PropertyList plist = tessuro::PropertyList::parse(
            std::string_view(reinterpret_cast<const char*>(data), size), "fuzz",
            tessuro::PropertyList::kInfoPlistLimits);
        (void)plist.isDictionary();
        (void)plist.stringForKey("CFBundleIdentifier");
        (void)plist.stringForKey("CFBundleVersion");
        (void)plist.stringForKey("CFBundleExecutable");
    } catch (const tessuro::Error&) {
    }
    return 0;
}
