#include "platform/workspace.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/keyctl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace tessuro {
namespace {

// The search path of a user's programs, in place of root's.
constexpr const char* kUserPath = "PATH=/usr/local/bin:/usr/bin:/bin";
// What of the installer's session the application needs to show itself and speak the
// user's language; LC_* as well.
constexpr std::string_view kSessionVariables[] = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY",
                                                  "LANG"};

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

// The main executable the check vouched for, opened through the held folder: refused when
// it is gone, not a regular file, or not the file the check read.
struct Executable {
    UniqueFd fd;
    std::filesystem::path shown;  // below the bundle's path, for messages
    bool script = false;          // begins with "#!"
};

Executable checkedExecutable(const HeldBundle& bundle) {
    if (!bundle.folder || !bundle.folder->valid()) {
        throw openError(launch_code::kBundleMissing, "找不到应用程序" + quoted(bundle.path));
    }
    const std::filesystem::path& relative = bundle.verified.executable;
    if (relative.empty()) {
        throw openError(launch_code::kNoExecutableKey,
                        "应用程序的 Info.plist 没有写明可执行文件（CFBundleExecutable）");
    }
    Executable executable{UniqueFd(), bundle.path / relative};
    struct stat st {};
    try {
        executable.fd = openRegularFileAt(bundle.folder->get(), relative, &st);
    } catch (const Error& error) {
        switch (error.code()) {
            case ENOENT:
            case ENOTDIR:
                throw openError(launch_code::kExecutableMissing,
                                "找不到可执行文件" + quoted(executable.shown));
            case EISDIR:
            case EINVAL:
                throw openError(launch_code::kNotExecutable,
                                quoted(executable.shown) + "不是可执行文件");
            case ELOOP: break;  // a link where the checked file was: not that file
            default: throw openError(launch_code::kStartFailed, error.localizedDescription());
        }
    }
    if (!executable.fd || identityOf(st) != bundle.verified.executableIdentity) {
        throw openError(launch_code::kExecutableChanged,
                        quoted(executable.shown) + "在校验之后被替换，没有启动");
    }
    char start[2] = {};
    executable.script = ::pread(executable.fd.get(), start, sizeof start, 0) == 2 &&
                        start[0] == '#' && start[1] == '!';
    return executable;
}

// The environment of a program started for another user: the user's own, and of the
// installer's session only what shows the program and speaks the user's language.
std::vector<std::string> userEnvironment(const DesktopUser& user) {
    std::vector<std::string> variables{"HOME=" + user.home.string(), "USER=" + user.name,
                                       "LOGNAME=" + user.name, "SHELL=" + user.shell, kUserPath};
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view variable = *entry;
        const std::string_view name = variable.substr(0, variable.find('='));
        if (name.starts_with("LC_") ||
            std::find(std::begin(kSessionVariables), std::end(kSessionVariables), name) !=
                std::end(kSessionVariables)) {
            variables.emplace_back(variable);
        }
    }
    const std::filesystem::path runtime = "/run/user/" + std::to_string(user.uid);
    struct stat st {};
    if (::lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == user.uid) {
        variables.push_back("XDG_RUNTIME_DIR=" + runtime.string());
        const std::filesystem::path bus = runtime / "bus";
        if (::lstat(bus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            variables.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus.string());
        }
    }
    return variables;
}

// How the program is started. Everything the child needs is made before fork: after it,
// only async-signal-safe calls.
struct Launch {
    const Executable& executable;
    int folder;              // the held bundle folder, kept open across a script's exec
    std::string scriptPath;  // through that folder's descriptor, for a script
    std::string argument0;
    std::vector<char*> argv;
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string home;
    std::vector<std::string> environment;
    std::vector<char*> envp;

    Launch(const HeldBundle& bundle, const Executable& checked, const DesktopUser& user)
        : executable(checked),
          folder(bundle.folder->get()),
          argument0(checked.shown.string()),
          switchUser(user.isAnotherUser()),
          uid(user.uid),
          gid(user.gid),
          groups(user.groups),
          home(user.home.string()) {
        if (executable.script) {
            scriptPath = "/proc/self/fd/" + std::to_string(folder) + "/" +
                         bundle.verified.executable.string();
            requireSameFile(scriptPath);
        }
        argv = {argument0.data(), nullptr};
        if (switchUser) {
            environment = userEnvironment(user);
            for (std::string& variable : environment) {
                envp.push_back(variable.data());
            }
            envp.push_back(nullptr);
        }
    }

    char** environmentOfProgram() { return switchUser ? envp.data() : environ; }

private:
    // The path a script is started by must lead to the file that was checked.
    void requireSameFile(const std::string& path) const {
        struct stat there {
        }, checked{};
        if (::stat(path.c_str(), &there) != 0 || ::fstat(executable.fd.get(), &checked) != 0 ||
            identityOf(there) != identityOf(checked)) {
            throw openError(launch_code::kExecutableChanged,
                            quoted(executable.shown) + "在校验之后被替换，没有启动");
        }
    }
};

// What the child reports through the close-on-exec pipe when it cannot start the program.
struct ChildFailure {
    int stage;  // kTakingUser or kExec
    int error;
};
constexpr int kTakingUser = 1;
constexpr int kExec = 2;

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

[[noreturn]] void failInChild(int report, int stage) {
    const ChildFailure failure{stage, errno};
    writeInChild(report, &failure, sizeof failure);
    ::_exit(127);
}

// The child is alone in its process: the system calls change the whole process, and
// glibc's wrappers, which coordinate the threads of the parent, are not needed.
bool takeUser(const Launch& launch) {
    return ::syscall(SYS_setgroups, launch.groups.size(), launch.groups.data()) == 0 &&
           ::syscall(SYS_setresgid, launch.gid, launch.gid, launch.gid) == 0 &&
           ::syscall(SYS_setresuid, launch.uid, launch.uid, launch.uid) == 0;
}

// Whether a key description ("type;uid;gid;perm;description") names `uid` as the owner.
bool describesOwner(const char* text, std::size_t length, uid_t uid) {
    std::size_t at = 0;
    while (at < length && text[at] != ';') {
        ++at;
    }
    unsigned long long owner = 0;
    std::size_t digits = 0;
    for (++at; at < length && text[at] >= '0' && text[at] <= '9' && digits < 20; ++at, ++digits) {
        owner = owner * 10 + static_cast<unsigned>(text[at] - '0');
    }
    return digits > 0 && at < length && text[at] == ';' && owner == uid;
}

// The session keyring is the one thing of a process's session that survives the change of
// user and the exec: a keyring root's session made (as pam_keyinit does for sudo), and
// every key root put in it, would stay in the program's hands. A keyring that is not the
// user's own is left for a new, empty one of the user's; the program does not start when
// that cannot be done. Where keyrings are missing or forbidden to this process (ENOSYS, or
// EPERM from a system-call filter, which the program inherits too), there is none to leave.
bool leaveForeignSessionKeyring(uid_t uid) {
    char text[256];
    const long length =
        ::syscall(SYS_keyctl, KEYCTL_DESCRIBE, KEY_SPEC_SESSION_KEYRING, text, sizeof text);
    if (length < 0 && (errno == ENOSYS || errno == EPERM)) {
        return true;
    }
    if (length > 0 && static_cast<std::size_t>(length) <= sizeof text &&
        describesOwner(text, static_cast<std::size_t>(length), uid)) {
        return true;
    }
    return ::syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) >= 0;
}

// Signal handlers go at exec by themselves, but a signal the opener ignores would stay
// ignored in the program; and until the exec, a signal caught here would run the opener's
// own handler (which writes to the opener's descriptors). Every disposition goes back to
// its default; glibc's own signals refuse the change, and are its business.
void defaultSignals() {
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
        if (number != SIGKILL && number != SIGSTOP) {
            ::sigaction(number, &byDefault, nullptr);
        }
    }
}

// Every descriptor from `lowest` on closes at the exec: whatever the opener holds, opened by
// a library without close-on-exec or given to the opener by whoever started it, never
// reaches the program. Those the exec itself needs (the program's, the report's) stay open
// until then.
void closeOnExecFrom(int lowest) {
    if (::syscall(SYS_close_range, lowest, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    struct rlimit limit {};
    const int highest = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max < INT_MAX
                            ? static_cast<int>(limit.rlim_max)
                            : 1 << 20;
    for (int fd = lowest; fd < highest; ++fd) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

// The intermediate child: it starts a session and forks the program, which init then
// adopts; a failure to start the program goes back through `report`.
[[noreturn]] void runDetached(Launch& launch, int report) {
    defaultSignals();
    ::setsid();
    pid_t program = ::fork();
    if (program != 0) {
        ::_exit(program < 0 ? 1 : 0);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (null > 2) {
            ::close(null);
        }
    }
    closeOnExecFrom(3);
    if (launch.switchUser && (!takeUser(launch) || !leaveForeignSessionKeyring(launch.uid))) {
        failInChild(report, kTakingUser);
    }
    if (::chdir(launch.home.c_str()) != 0) {
        (void)::chdir("/");
    }
    char** envp = launch.environmentOfProgram();
    if (launch.executable.script) {
        ::fcntl(launch.folder, F_SETFD, 0);  // the interpreter opens the script through it
        ::execve(launch.scriptPath.c_str(), launch.argv.data(), envp);
    } else {
        ::fexecve(launch.executable.fd.get(), launch.argv.data(), envp);
    }
    failInChild(report, kExec);
}

// Waits for the intermediate child, then reads what the close-on-exec pipe says: why the
// program could not start, or nothing when it was started.
void awaitStart(pid_t child, int report, const std::filesystem::path& executable,
                const DesktopUser& user) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ChildFailure failure{};
    ssize_t n;
    do {
        n = ::read(report, &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof failure) && failure.stage == kTakingUser) {
        throw openError(
            launch_code::kUserSwitchFailed,
            "无法以用户“" + user.name + "”的身份启动应用程序：" + posixReason(failure.error));
    }
    if (n == static_cast<ssize_t>(sizeof failure)) {
        throw openError(launch_code::kExecFailed, startFailure(failure.error, executable));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw openError(launch_code::kStartFailed, "无法启动" + quoted(executable));
    }
}

}  // namespace

void openApplicationNow(const HeldBundle& bundle, const DesktopUser& user) {
    const Executable executable = checkedExecutable(bundle);
    Launch launch(bundle, executable, user);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        throw openError(launch_code::kStartFailed,
                        "无法启动" + quoted(executable.shown) + "：" + posixReason(errno));
    }
    UniqueFd reading(report[0]), writing(report[1]);
    pid_t child = ::fork();
    if (child < 0) {
        throw openError(launch_code::kStartFailed,
                        "无法启动" + quoted(executable.shown) + "：" + posixReason(errno));
    }
    if (child == 0) {
        reading.reset();
        runDetached(launch, writing.get());
    }
    writing.reset();
    awaitStart(child, reading.get(), executable.shown, user);
}

void openApplication(HeldBundle bundle, OpenCompletion completion) {
    auto open = [bundle = std::move(bundle), completion = std::move(completion)] {
        std::optional<Error> failure;
        try {
            openApplicationNow(bundle, desktopUser());
        } catch (const Error& error) {
            failure = error;
        } catch (const std::exception&) {  // out of memory or threads: still an answer
            failure = Error(std::string(kLaunchErrorDomain), launch_code::kStartFailed,
                            "无法启动" + quoted(bundle.path));
        }
        completion(std::move(failure));
    };
    try {
        std::thread(open).detach();
    } catch (const std::system_error&) {
        open();  // no thread to be had (the user's process limit): the start is made here
    }
}

}  // namespace tessuro
