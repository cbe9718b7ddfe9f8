// A stand-in for the application, copied into a temporary bundle and started for real.
//   (no argument)    writes "ready", then quits on SIGTERM or by itself after two minutes
//   --ignore-term    the same, but ignores SIGTERM
//   --print-bundle   prints the bundle it runs from and exits
//   --open BUNDLE    opens the bundle as the installer would once it has checked it, prints
//                    the outcome, exits
// With TESSURO_TEST_APP_MARKER set, it writes its process ID to that file.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "held_bundle.h"
#include "platform/bundle.h"
#include "platform/workspace.h"

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--open") == 0) {
        try {
            tessuro::openApplicationNow(tessuro::test::heldAsItStands(argv[2]),
                                        tessuro::desktopUser());
        } catch (const tessuro::Error& error) {
            std::printf("%s\n", error.localizedDescription().c_str());
            return 1;
        }
        std::printf("opened\n");
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--print-bundle") == 0) {
        std::printf("%s\n", tessuro::mainBundlePath().c_str());
        return 0;
    }
    if (const char* marker = std::getenv("TESSURO_TEST_APP_MARKER")) {
        std::ofstream(marker) << ::getpid() << "\n";
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
