// Entry point: runs one download and hands its result to the OS.
#include <cstdio>

#include "app/Downloaddriver.h"
#include "app/Exitstatus.h"
#include "runtime/Integerconversion.h"
#include "serial/Consoleoutput.h"

int main(int argc, char** argv) {
    MakeConsoleBestEffort();
    try {
        return ProcessExitStatus(RunDownload(argc, argv));
    } catch (const EConvertError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", error.what());
        return kConversionErrorExitStatus;
    }
}
