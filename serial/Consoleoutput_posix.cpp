#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "serial/Consoleoutput.h"

// A write to a pipe without a reader then fails with EPIPE instead of
// killing the process. A standard stream that was closed is reopened on
// /dev/null, or the log would take its number and the console's bytes.
void MakeConsoleBestEffort() {
    std::signal(SIGPIPE, SIG_IGN);
    for (int stream = 0; stream <= 2; ++stream) {
        if (fcntl(stream, F_GETFD) < 0 && open("/dev/null", O_RDWR) != stream) {
            return; // the lower numbers are all taken: nothing more to shield
        }
    }
}
