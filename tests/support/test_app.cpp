// A stand-in for the application: it is copied into a temporary bundle and started for
// real, so that the installer finds it among the machine's processes.
//   (no argument)    quits on SIGTERM
//   --ignore-term    ignores SIGTERM
//   --print-bundle   prints the bundle it runs from and exits
// It writes "ready" once its signal handling is in place, and exits by itself after two
// minutes so that a test that dies leaves nothing running for long.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/bundle.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--print-bundle") == 0) {
        std::printf("%s\n", tessuro::mainBundlePath().c_str());
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--ignore-term") == 0) {
        ::signal(SIGTERM, SIG_IGN);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (int i = 0; i < 120; ++i) {
        ::sleep(1);
    }
    return 0;
}
