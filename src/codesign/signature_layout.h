#pragma once

#include <string>

#include "platform/property_list.h"

// Where a bundle signature's pieces lie, for the signer and the verifier alike: every
// component is a file in Contents/_CodeSignature, since the main executable carries no
// signature of its own.
namespace tessuro::codesign::layout {

inline constexpr char kContents[] = "Contents";
// Below Contents:
inline constexpr char kInfoPlist[] = "Info.plist";
inline constexpr char kExecutableFolder[] = "MacOS";
inline constexpr char kSignatureFolder[] = "_CodeSignature";
inline constexpr char kStoreReceipt[] = "_MASReceipt";
inline constexpr char kLegacyResourcesLink[] = "CodeResources";
// In the signature folder:
inline constexpr char kCodeDirectory[] = "CodeDirectory";  // the primary CodeDirectory
inline constexpr char kRequirements[] = "CodeRequirements";
inline constexpr char kResources[] = "CodeResources";
inline constexpr char kSignature[] = "CodeSignature";  // the CMS, empty when ad hoc

// The resource seal (CodeResources) as a property list: the seal a signer writes for
// 200 000 files is 63 MiB of XML and 1 600 093 nodes, 8 a file; a hostile one stays below
// about 280 MB.
inline constexpr PropertyListLimits kResourceSealLimits{64u << 20, 2'000'000};

// Alternate CodeDirectories are CodeRequirements-1 to -5 (the name is historical).
inline constexpr int kMaxAlternateCodeDirectories = 5;
std::string alternateCodeDirectory(int index);

// The main executable, as a path below Contents: MacOS/<CFBundleExecutable>, or Info.plist
// when the bundle names none. Throws a code-signing Error (kMalformed) when the name is not
// a plain file name.
std::string mainExecutable(const PropertyList& info);

}  // namespace tessuro::codesign::layout
