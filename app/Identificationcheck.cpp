#include "app/Identificationcheck.h"

#include <memory>

#include "firmware/Fileparser.h"

namespace {

constexpr std::int32_t kInvalidFile = -3;
constexpr std::int32_t kCheckFailed = -256;
constexpr std::int32_t kSubCheckFailed = -257;

} // namespace

std::optional<FileIdentification> ReadIdentification(const std::string& inputFile) {
    auto parser = std::make_unique<TFileParser>();
    if (parser->ParseFile(inputFile) == kInvalidFile) {
        return std::nullopt;
    }
    FileIdentification id;
    id.moduleType = parser->GetModuleType(inputFile);
    id.mainRevision = parser->GetMainRevision(inputFile);
    id.subRevision = parser->GetSubRevision(inputFile);
    id.buildTime = parser->GetBuildTime(inputFile);
    id.programFrames = parser->GetProgramFrameCount();
    return id;
}

std::optional<IdentificationMismatch> CheckIdentification(const TCommandLineOptions& options,
                                                          const FileIdentification& id) {
    using enum IdentificationItem;
    if (options.mainRevisionGiven != 0 && id.mainRevision != options.mainRevision) {
        return IdentificationMismatch{kCheckFailed, MainRevision, id.mainRevision,
                                      options.mainRevision};
    }
    if (options.subRevisionGiven != 0 && id.subRevision != options.subRevision) {
        return IdentificationMismatch{kSubCheckFailed, SubRevision, id.subRevision,
                                      options.subRevision};
    }
    if (options.moduleTypeGiven != 0 && id.moduleType != options.moduleType) {
        return IdentificationMismatch{kCheckFailed, ModuleType, id.moduleType, options.moduleType};
    }
    if (options.buildTimeGiven != 0 && id.buildTime != options.buildTime) {
        return IdentificationMismatch{kCheckFailed, BuildTime, id.buildTime, options.buildTime};
    }
    return std::nullopt;
}
