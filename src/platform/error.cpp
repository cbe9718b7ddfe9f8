#include "platform/error.h"

#include <cerrno>
#include <new>
#include <system_error>

namespace tessuro {

Error::Error(std::string domain, long code, std::string localizedDescription)
    : domain_(std::move(domain)), code_(code), description_(std::move(localizedDescription)) {}

Error installerError(std::string message, long code) {
    return Error(std::string(kInstallerErrorDomain), code, std::move(message));
}

std::string posixReason(int errnum) {
    switch (errnum) {
        case ENOENT: return "文件或文件夹不存在";
        case EACCES: return "没有访问权限";
        case EPERM: return "操作不被允许";
        case ENOSPC: return "磁盘空间不足";
        case EDQUOT: return "超出磁盘配额";
        case EROFS: return "磁盘是只读的";
        case EEXIST: return "同名项目已存在";
        case ENOTDIR: return "路径中的某一项不是文件夹";
        case EISDIR: return "这是一个文件夹";
        case ENOTEMPTY: return "文件夹不是空的";
        case EBUSY: return "项目正在被使用";
        case EIO: return "磁盘读写出错";
        case ELOOP: return "符号链接层级过多";
        case ENAMETOOLONG: return "名称过长";
        case EXDEV: return "不能跨磁盘移动";
        case EMFILE:
        case ENFILE: return "打开的文件过多";
        case ENOMEM: return "内存不足";
        case EINVAL: return "参数无效";
        case EFBIG: return "文件过大";
        case ESRCH: return "进程不存在";
        case EAGAIN: return "系统资源暂时不足";
        case ETXTBSY: return "文件正在被执行";
        case ENOSYS: return "系统不支持此操作";
        case EOPNOTSUPP: return "文件系统不支持此操作";
        case ESTALE: return "网络文件系统上的项目已失效";
        case ETIMEDOUT: return "操作超时";
        default: break;
    }
    // The C library's own text is English: the window shows the number alone.
    return "系统错误（错误代码 " + std::to_string(errnum) + "）";
}

Error posixError(int errnum, std::string_view action, const std::filesystem::path& item,
                 std::string_view reason) {
    std::string text(action);
    text += "“";
    text += item.string();
    text += "”：";
    text += reason;
    return Error(std::string(kPosixErrorDomain), errnum, std::move(text));
}

Error posixError(int errnum, std::string_view action, const std::filesystem::path& item) {
    return posixError(errnum, action, item, posixReason(errnum));
}

Error linkNotFollowedError(std::string_view action, const std::filesystem::path& item) {
    return posixError(ELOOP, action, item, "它是一个符号链接，安装程序不会跟随");
}

Error notRegularFileError(std::string_view action, const std::filesystem::path& item) {
    return posixError(EINVAL, action, item, "它不是普通文件（可能是管道或设备文件）");
}

namespace {

constexpr const char* kSystemFailed = "系统操作未能完成：";

// Whether the code is an errno value, as the standard library's failures of the system
// carry it.
bool isErrno(const std::error_code& code) {
    return code.value() != 0 && (code.category() == std::generic_category() ||
                                 code.category() == std::system_category());
}

Error systemFailure(int errnum) {
    return Error(std::string(kPosixErrorDomain), errnum, kSystemFailed + posixReason(errnum));
}

}  // namespace

Error errorOf(std::exception_ptr failure) {
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const Error& error) {
            return error;
        } catch (const std::filesystem::filesystem_error& error) {
            if (isErrno(error.code())) {
                return error.path1().empty()
                           ? systemFailure(error.code().value())
                           : posixError(error.code().value(), "无法访问", error.path1());
            }
        } catch (const std::system_error& error) {
            if (isErrno(error.code())) {
                return systemFailure(error.code().value());
            }
        } catch (const std::bad_alloc&) {
            return systemFailure(ENOMEM);
        } catch (...) {
        }
    }
    return installerError("安装时发生未知错误，请重试");
}

}  // namespace tessuro
