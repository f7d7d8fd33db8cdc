// A Windows caller for the Wine end-to-end tests, which live on the Linux
// side and so cannot see what only a Windows process sees:
//   win32-caller run RESULT PROGRAM [ARG]...  runs PROGRAM with its standard
//       handles, writes its 32-bit exit code in decimal to the file RESULT
//       and exits with that code;
//   win32-caller message CODE  writes the system's text for CODE to standard
//       output as it is, without text-mode line ends.
// Arguments with blanks or quotes are not supported: the tests pass none.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int Run(const char* resultFile, int count, char** args) {
    std::string commandLine;
    for (int i = 0; i < count; ++i) {
        commandLine += std::string(i == 0 ? "\"" : " \"") + args[i] + "\"";
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
        return 126;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (std::FILE* out = std::fopen(resultFile, "wb")) {
        std::fprintf(out, "%ld", static_cast<long>(code));
        std::fclose(out);
    }
    return static_cast<int>(code);
}

int Message(const char* codeText) {
    const auto code = static_cast<DWORD>(std::strtol(codeText, nullptr, 10));
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
    LocalFree(text);
    return length != 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "run" && argc > 3) {
        return Run(argv[2], argc - 3, argv + 3);
    }
    if (command == "message" && argc == 3) {
        return Message(argv[2]);
    }
    std::fputs("usage: win32-caller run RESULT PROGRAM [ARG]... | message CODE\n", stderr);
    return 125;
}
