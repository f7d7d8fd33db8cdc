#include "app/Downloaddriver.h"

#include <array>
#include <filesystem>
#include <memory>

#include "app/Devicedetection.h"
#include "app/Identificationcheck.h"
#include "app/Logfile.h"
#include "app/Moduletypequery.h"
#include "app/Progressfile.h"
#include "protocol/Zuldownloadprotocolclass.h"
#include "runtime/Calendarclock.h"

namespace {

std::uint32_t deviceModuleType = 0;

// The files of the run besides the firmware file.
struct RunFiles {
    FilePointer log;
    bool progressWritable = false;
    FilePointer moduleInfo;
};

FilePointer CreateBinary(const std::string& name) {
    return FilePointer(std::fopen(name.c_str(), "wb"));
}

// Steps 4 and 5: the optional files, created empty when named.
void CreateOptionalFiles(const TCommandLineOptions& options, RunFiles& files) {
    if (!options.progressFile.empty()) {
        files.progressWritable = CreateProgressFile(options.progressFile);
    }
    if (!options.moduleInfoFile.empty()) {
        files.moduleInfo = CreateBinary(options.moduleInfoFile);
    }
}

// Step 7: true when a probe found the device; the port then stays open.
bool FindDevice(std::FILE* log, std::uint8_t forcedPort, std::time_t& runStartTime) {
    auto enumeration = std::make_unique<TSerialCOMPortEnumeration>();
    serialCOMPortEnumeration = enumeration.get();
    detectionState = kDetectionSearching;
    runStartTime = TCalendarClock::Now();
    DetectDevice(log, forcedPort, runStartTime);
    serialCOMPortEnumeration = nullptr;
    return detectionState != kDetectionSearching;
}

// The query would overwrite a firmware file of its own name before the
// download reads it; such a run goes on as after a failed query.
bool IsQueryFile(const std::string& inputFile) {
    std::error_code failure;
    return std::filesystem::equivalent(inputFile, kQueryFileName, failure);
}

void LogInformation(std::FILE* log, const FileIdentification& id) {
    WriteLogEntry(log, "\r\nFile Information :");
    WriteLogEntry(log, "\r\n------------------");
    WriteLogEntry(log, "\r\nFile module type       : %08x", static_cast<unsigned>(id.moduleType));
    WriteLogEntry(log, "\r\nFile software revision : %d.%d", static_cast<int>(id.mainRevision),
                  static_cast<int>(id.subRevision));
    WriteLogEntry(log, "\r\nFile build time        : %s",
                  DateText(static_cast<std::time_t>(id.buildTime)).c_str());
    WriteLogEntry(log, "\r\n");
    WriteLogEntry(log, "\r\nDevice Information :");
    WriteLogEntry(log, "\r\n--------------------");
    WriteLogEntry(log, "\r\nDevice module type     : %08x",
                  static_cast<unsigned>(deviceModuleType));
    WriteLogEntry(log, "\r\n");
}

void WriteModuleInfo(FilePointer& moduleInfo) {
    if (!moduleInfo) {
        return;
    }
    const std::array<std::uint8_t, 4> bytes = {static_cast<std::uint8_t>(deviceModuleType),
                                               static_cast<std::uint8_t>(deviceModuleType >> 8),
                                               static_cast<std::uint8_t>(deviceModuleType >> 16),
                                               static_cast<std::uint8_t>(deviceModuleType >> 24)};
    std::fwrite(bytes.data(), 1, bytes.size(), moduleInfo.get());
    moduleInfo.reset();
}

// The first failing check's line, in the log's words.
void LogMismatch(std::FILE* log, const IdentificationMismatch& mismatch) {
    switch (mismatch.item) {
    case IdentificationItem::MainRevision:
        WriteLogEntry(log,
                      "\n\rError : File main version is %d and main version to program should "
                      "be %d",
                      static_cast<int>(mismatch.fileValue),
                      static_cast<int>(mismatch.expectedValue));
        break;
    case IdentificationItem::SubRevision:
        WriteLogEntry(
            log, "\n\rError : File sub version is %d and sub version to program should be %d",
            static_cast<int>(mismatch.fileValue), static_cast<int>(mismatch.expectedValue));
        break;
    case IdentificationItem::ModuleType:
        WriteLogEntry(log,
                      "\n\rError : File module type is %08x and module type to program should "
                      "be %08x",
                      static_cast<unsigned>(mismatch.fileValue),
                      static_cast<unsigned>(mismatch.expectedValue));
        break;
    case IdentificationItem::BuildTime:
        WriteLogEntry(log,
                      "\n\rError : File build time is %08x and build time to program should be "
                      "%08x",
                      static_cast<unsigned>(mismatch.fileValue),
                      static_cast<unsigned>(mismatch.expectedValue));
        break;
    }
}

void ReportProgress(const TCommandLineOptions& options, const RunFiles& files,
                    std::uint8_t progress) {
    if (options.verbose != 0) {
        std::printf("\rDownload : %03d %%", static_cast<int>(progress));
        std::fflush(stdout);
    }
    if (files.progressWritable) {
        WriteProgressFile(options.progressFile, progress);
    }
}

// Steps 13 and 14: the download on its worker, followed until its final
// status. The wait wakes whenever the worker publishes progress or status.
std::int32_t RunWorker(const TCommandLineOptions& options, const RunFiles& files,
                       std::unique_ptr<TZULDownloadProtocolClass>& worker) {
    worker = std::make_unique<TZULDownloadProtocolClass>(true);
    TZULDownloadProtocolClass::SetDownloadParameters(options.inputFile, serialPort);
    worker->Start();
    if (options.verbose != 0) {
        std::fputs("\r\nDownload : 000 %", stdout);
        std::fflush(stdout);
    }
    std::uint8_t lastProgress = 0;
    const auto reportChange = [&] {
        const std::uint8_t progress = worker->GetProgress();
        if (progress != lastProgress) {
            ReportProgress(options, files, progress);
            lastProgress = progress;
        }
    };
    for (;;) {
        const std::uint32_t ticket = worker->PublicationTicket();
        if (const std::int32_t status = TZULDownloadProtocolClass::GetStatus(); status != 0) {
            // The waiting poller wakes after the worker's last two publications
            // as a rule; without this read, the final progress would go unseen.
            reportChange();
            return status;
        }
        reportChange();
        worker->AwaitPublication(ticket);
    }
}

// Ends a run that got past the log's creation: the log closed, then echoed.
std::int32_t Finish(const TCommandLineOptions& options, RunFiles& files, std::int32_t result) {
    files.log.reset();
    EchoLogFile(options);
    return result;
}

// Steps 9 to 16, with the device found and its port open.
std::int32_t ProgramDevice(const TCommandLineOptions& options, RunFiles& files,
                           const FileIdentification& id, std::time_t runStartTime,
                           std::unique_ptr<TRS232Class>& port) {
    std::FILE* log = files.log.get();
    if (!IsQueryFile(options.inputFile)) {
        QueryModuleType(deviceModuleType);
    }
    LogInformation(log, id);
    WriteModuleInfo(files.moduleInfo);
    if (const auto mismatch = CheckIdentification(options, id)) {
        LogMismatch(log, *mismatch);
        port.reset();
        return Finish(options, files, mismatch->result);
    }
    std::unique_ptr<TZULDownloadProtocolClass> worker;
    const std::int32_t status = RunWorker(options, files, worker);
    if (status < 0) {
        WriteLogEntry(log, "\r\nError downloading the file (error : %d)", status);
    } else {
        WriteLogEntry(log, "\r\nDownload was successful");
    }
    const std::time_t end = TCalendarClock::Now();
    WriteLogEntry(log, "\r\n");
    WriteLogEntry(log, "\r\nDownload time : %d seconds",
                  static_cast<int>(std::difftime(end, runStartTime)));
    files.log.reset();
    worker.reset();
    port.reset();
    return Finish(options, files, status);
}

} // namespace

std::int32_t RunDownload(std::int32_t count, const char* const* arguments) {
    TCommandLineOptions options;
    ParseCommandLine(count, arguments, options);
    if (options.usageError != 0) {
        std::fputs(UsageMessage().c_str(), stdout);
        return -261;
    }
    if (options.helpRequested != 0) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    RunFiles files;
    files.log = CreateBinary(options.logFile);
    if (!files.log) {
        return -260;
    }
    std::FILE* log = files.log.get();
    WriteLogEntry(log, "\r\nZUL download log file created on %s",
                  DateText(TCalendarClock::Now()).c_str());
    WriteLogEntry(log, "\r\n");
    CreateOptionalFiles(options, files);
    const std::optional<FileIdentification> id = ReadIdentification(options.inputFile);
    if (!id) {
        WriteLogEntry(log, "\r\n File %s is invalid!!", options.inputFile.c_str());
        return Finish(options, files, -3);
    }
    // Destroying the port object leaves the port open until the process ends.
    auto port = std::make_unique<TRS232Class>();
    serialPort = port.get();
    std::time_t runStartTime{};
    if (!FindDevice(log, options.comPort, runStartTime)) {
        WriteLogEntry(log, "\r\n No B4K found !!");
        port.reset();
        serialPort = nullptr;
        return Finish(options, files, -2);
    }
    const std::int32_t result = ProgramDevice(options, files, *id, runStartTime, port);
    serialPort = nullptr;
    return result;
}

void EchoLogFile(const TCommandLineOptions& options) {
    if (options.verbose != 0) {
        if (FilePointer log{std::fopen(options.logFile.c_str(), "rb")}) {
            std::array<char, 4096> chunk{};
            for (std::size_t got;
                 (got = std::fread(chunk.data(), 1, chunk.size(), log.get())) > 0;) {
                std::fwrite(chunk.data(), 1, got, stdout);
            }
        }
    }
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
}
