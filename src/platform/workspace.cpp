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

// A start that failed with an operating-system error.
Error startError(long code, int errnum, const std::filesystem::path& executable) {
    return openError(code, "无法启动" + quoted(executable) + "：" + posixReason(errnum));
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

// In the child after fork: no allocation, no exception, whatever happens.
void writeInChild(int fd, const void* data, std::size_t size) {
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

// The executable the bundle names, checked to be there and a regular file.
std::filesystem::path bundleExecutable(const std::filesystem::path& bundle) {
    struct stat st {};
    if (::stat(bundle.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw openError(launch_code::kBundleMissing, "找不到应用程序" + quoted(bundle));
    }
    std::optional<std::string> name;
    try {
        name = readBundleInfo(bundle).stringForKey("CFBundleExecutable");
    } catch (const Error& error) {
        throw openError(launch_code::kInfoUnreadable,
                        "应用程序的 Info.plist 无法读取：" + error.localizedDescription());
    }
    if (!name || name->empty() || name->find('/') != std::string::npos) {
        throw openError(launch_code::kNoExecutableKey,
                        "应用程序的 Info.plist 没有写明可执行文件（CFBundleExecutable）");
    }
    std::filesystem::path executable = bundleExecutablePath(bundle, *name);
    if (::stat(executable.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            throw startError(launch_code::kStartFailed, errno, executable);
        }
        throw openError(launch_code::kExecutableMissing, "找不到可执行文件" + quoted(executable));
    }
    if (!S_ISREG(st.st_mode)) {
        throw openError(launch_code::kNotExecutable, quoted(executable) + "不是可执行文件");
    }
    return executable;
}

// What the program is started with. Everything the child needs is made before fork: after
// it, only async-signal-safe calls.
struct Launch {
    std::string path;
    std::string home;
    std::vector<char*> argv;

    explicit Launch(const std::filesystem::path& executable) : path(executable.string()) {
        try {
            home = homeDirectory().string();
        } catch (const Error&) {
            home = "/";  // no home folder to be had: the program starts at the root
        }
        argv = {path.data(), nullptr};
    }
};

// The intermediate child: it starts a session and forks the program, which init then
// adopts; the program's exec failure goes back through `report`.
[[noreturn]] void runDetached(const Launch& launch, int report) {
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
    if (::chdir(launch.home.c_str()) != 0) {
        (void)::chdir("/");
    }
    ::execve(launch.path.c_str(), launch.argv.data(), environ);
    int error = errno;
    writeInChild(report, &error, sizeof error);
    ::_exit(127);
}

// Waits for the intermediate child, then reads what the close-on-exec pipe says: an errno
// when the program's exec failed, nothing when it ran.
void awaitStart(pid_t child, int report, const std::filesystem::path& executable) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t n;
    do {
        n = ::read(report, &execError, sizeof execError);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof execError)) {
        throw openError(launch_code::kExecFailed, startFailure(execError, executable));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw openError(launch_code::kStartFailed, "无法启动" + quoted(executable));
    }
}

}  // namespace

void openApplicationNow(const std::filesystem::path& bundle) {
    const std::filesystem::path executable = bundleExecutable(bundle);
    const Launch launch(executable);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        throw startError(launch_code::kStartFailed, errno, executable);
    }
    UniqueFd reading(report[0]), writing(report[1]);
    pid_t child = ::fork();
    if (child < 0) {
        throw startError(launch_code::kStartFailed, errno, executable);
    }
    if (child == 0) {
        reading.reset();
        runDetached(launch, writing.get());
    }
    writing.reset();
    awaitStart(child, reading.get(), executable);
}

void openApplication(const std::filesystem::path& bundle, OpenCompletion completion) {
    std::thread([bundle, completion = std::move(completion)] {
        std::optional<Error> failure;
        try {
            openApplicationNow(bundle);
        } catch (const Error& error) {
            failure = error;
        } catch (const std::exception&) {  // out of memory or threads: still an answer
            failure = Error(std::string(kLaunchErrorDomain), launch_code::kStartFailed,
                            "无法启动" + quoted(bundle));
        }
        completion(std::move(failure));
    }).detach();
}

}  // namespace tessuro
