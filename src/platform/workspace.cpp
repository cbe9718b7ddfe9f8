#include "platform/workspace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "platform/bundle.h"
#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/property_list.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tessuro {
namespace {

Error openError(long code, std::string text) {
    return Error(std::string(kLaunchErrorDomain), code, std::move(text));
}

std::string quoted(const std::filesystem::path& path) {
    return "“" + path.string() + "”";
}

// Why a program could not be started, in words a person understands.
std::string startFailure(int errnum, const std::filesystem::path& executable) {
    switch (errnum) {
        case EACCES:
        case EPERM: return quoted(executable) + "没有执行权限";
        case ENOEXEC:
        case ELIBBAD: return quoted(executable) + "不是这台电脑能运行的程序格式";
        case ENOENT: return "找不到" + quoted(executable) + "或它需要的解释程序";
        default: return "无法运行" + quoted(executable) + "：" + posixReason(errnum);
    }
}

void writeAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n <= 0 && errno != EINTR) {
            return;
        }
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }
}

}  // namespace

std::optional<Error> openApplicationNow(const std::filesystem::path& bundle) {
    struct stat st {};
    if (::stat(bundle.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return openError(launch_code::kBundleMissing, "找不到应用程序" + quoted(bundle));
    }
    std::optional<std::string> name;
    try {
        name = readBundleInfo(bundle).stringForKey("CFBundleExecutable");
    } catch (const Error& error) {
        return openError(launch_code::kInfoUnreadable,
                         "应用程序的 Info.plist 无法读取：" + error.localizedDescription());
    }
    if (!name || name->empty() || name->find('/') != std::string::npos) {
        return openError(launch_code::kNoExecutableKey,
                         "应用程序的 Info.plist 没有写明可执行文件（CFBundleExecutable）");
    }
    const std::filesystem::path executable = bundle / "Contents" / "MacOS" / *name;
    if (::stat(executable.c_str(), &st) != 0) {
        return openError(launch_code::kExecutableMissing, "找不到可执行文件" + quoted(executable));
    }
    if (!S_ISREG(st.st_mode)) {
        return openError(launch_code::kNotExecutable, quoted(executable) + "不是可执行文件");
    }

    // Everything the child needs is made before fork: after it, only async-signal-safe
    // calls. The intermediate child starts a session and forks the program, which init
    // then adopts; a close-on-exec pipe tells whether exec worked.
    std::string path = executable.string();
    std::string home;
    try {
        home = homeDirectory().string();
    } catch (...) {
        home = "/";
    }
    std::vector<char*> argv{path.data(), nullptr};
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return openError(launch_code::kStartFailed,
                         "无法启动" + quoted(executable) + "：" + posixReason(errno));
    }
    pid_t child = ::fork();
    if (child < 0) {
        int saved = errno;
        ::close(report[0]);
        ::close(report[1]);
        return openError(launch_code::kStartFailed,
                         "无法启动" + quoted(executable) + "：" + posixReason(saved));
    }
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        pid_t program = ::fork();
        if (program != 0) {
            ::_exit(program < 0 ? 1 : 0);
        }
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        if (::chdir(home.c_str()) != 0) {
            (void)::chdir("/");
        }
        ::execve(path.c_str(), argv.data(), environ);
        int error = errno;
        writeAll(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &execError, sizeof execError);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof execError)) {
        return openError(launch_code::kExecFailed, startFailure(execError, executable));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return openError(launch_code::kStartFailed, "无法启动" + quoted(executable));
    }
    return std::nullopt;
}

void openApplication(const std::filesystem::path& bundle, OpenCompletion completion) {
    std::thread([bundle, completion = std::move(completion)] {
        completion(openApplicationNow(bundle));
    }).detach();
}

}  // namespace tessuro
