#pragma once

#include <string_view>

// The codes of the errors the installer raises itself, by domain. Operating-system
// failures carry errno in the POSIX domain and need no names here.
namespace tessuro {

// Codes in the installer's own domain (kInstallerErrorDomain).
namespace installer_code {
inline constexpr long kGeneral = 1;             // any failure without a code of its own
inline constexpr long kValidationFailed = 2;    // the payload is not a genuine, intact build
inline constexpr long kPayloadIncomplete = 3;   // the payload is missing from the installer
inline constexpr long kApplicationRunning = 4;  // a copy of the application did not quit
}  // namespace installer_code

// Codes in the property-list domain (kPropertyListErrorDomain).
namespace property_list_code {
inline constexpr long kInvalid = 1;  // the data is not a property list the installer accepts
}  // namespace property_list_code

// The domain of launch failures.
inline constexpr std::string_view kLaunchErrorDomain = "Workspace";

// Codes in the launch domain.
namespace launch_code {
inline constexpr long kBundleMissing = 1;      // no application at the path
inline constexpr long kNoExecutableKey = 3;    // the Info.plist names no executable
inline constexpr long kExecutableMissing = 4;  // the named executable is not there
inline constexpr long kNotExecutable = 5;      // it is there but cannot be run
inline constexpr long kStartFailed = 6;        // the process could not be started
inline constexpr long kExecFailed = 7;         // the process started but exec failed
inline constexpr long kExecutableChanged = 8;  // not the file its check read
inline constexpr long kUserSwitchFailed = 9;   // it could not take the desktop user's identity
}  // namespace launch_code

// The domain of binary data that does not hold together as the format it is read as: it
// ends before what it says it holds, or holds what the format does not allow.
inline constexpr std::string_view kFormatErrorDomain = "Format";

// Codes in the format domain.
namespace format_code {
inline constexpr long kMalformed = 1;
}  // namespace format_code

}  // namespace tessuro
