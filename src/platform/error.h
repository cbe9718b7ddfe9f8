#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error_codes.h"

namespace tessuro {

// Every failure in the installer travels as an Error: a domain naming where it came from,
// a code within that domain, and a description a person can read. The description is the
// text the window shows; the domain and code are for the program and the tests.
class Error : public std::exception {
public:
    Error(std::string domain, long code, std::string localizedDescription);

    const std::string& domain() const noexcept { return domain_; }
    long code() const noexcept { return code_; }
    const std::string& localizedDescription() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string domain_;
    long code_;
    std::string description_;
};

// The domain of every error the installer raises itself.
inline constexpr std::string_view kInstallerErrorDomain = "TessuroInstaller";

// An error of the installer's own domain, with one of the codes of error_codes.h.
Error installerError(std::string message, long code = installer_code::kGeneral);

// The domain of operating-system failures; the code is the errno value.
inline constexpr std::string_view kPosixErrorDomain = "POSIX";

// An operating-system failure, described in the window's language: what was being done,
// to which item, and why, e.g. "无法读取“/a/b”：没有权限".
Error posixError(int errnum, std::string_view action, const std::filesystem::path& item);

// The same with a reason of the caller's, where errno's own would mislead.
Error posixError(int errnum, std::string_view action, const std::filesystem::path& item,
                 std::string_view reason);

// A symbolic link where the installer does not follow one (ELOOP): "无法读取“/a/b”：它是一个
// 符号链接，安装程序不会跟随".
Error linkNotFollowedError(std::string_view action, const std::filesystem::path& item);

// A FIFO, socket or device where a regular file was expected (EINVAL).
Error notRegularFileError(std::string_view action, const std::filesystem::path& item);

// The reason for an errno value in the window's language; for a value it has no words of
// its own for, the number alone ("系统错误（错误代码 67）"), never the C library's English.
std::string posixReason(int errnum);

// The Error that stands for `failure` in the window, whatever was thrown: an Error as it
// is; a std::system_error of errno's codes a POSIX error with errno's reason (a thread
// that cannot start: "系统操作未能完成：系统资源暂时不足"), one of the file system's naming its
// item as posixError does; running out of memory ENOMEM's; anything else, and nothing,
// the installer's general error. Never the English text of a failure's what().
Error errorOf(std::exception_ptr failure);

}  // namespace tessuro
