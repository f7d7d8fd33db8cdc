#include "app/Progressfile.h"

void WriteProgressFile(const std::string& name, std::uint8_t progress) {
    const ProgressTarget target = FindProgressTarget(name);
    if (target.replaceable && ReplaceProgressFile(target, progress)) {
        return;
    }
    WriteProgressInPlace(target.path, progress);
}
