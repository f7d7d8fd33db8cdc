#include "WireBound.h"

#include "protocol/Zuldownloadprotocolclass.h"

namespace {

struct ItemCost {
    double sentBytes = 0;
    double replyBytes = 0; // 0: unanswered
};

// Reply lengths as the tool awaits them, from its own command table.
std::optional<ItemCost> CostOf(const CapturedItem& item) {
    const auto sent = static_cast<double>(item.bytes.size());
    if (item.kind == CaptureKind::WakeUp) {
        return ItemCost{sent, 1};
    }
    if (item.kind != CaptureKind::Frame || item.bytes.size() < kFrameOverhead) {
        return std::nullopt;
    }
    const TCommandRow* row = TZULDownloadProtocolClass::FindCommand(item.bytes[kTypeOffset]);
    if (row == nullptr) {
        return std::nullopt;
    }
    const auto lengths = TZULDownloadProtocolClass::ExchangeLengths(*row, item.bytes.data());
    if (!lengths) {
        return std::nullopt;
    }
    return ItemCost{sent, static_cast<double>(lengths->replyLength)};
}

double ReplyMs(const ItemCost& cost, const WireTiming& timing) {
    return cost.replyBytes == 0 ? 0 : cost.replyBytes * timing.byteMs + timing.replyDelayMs;
}

// Index of the frame after the last connect frame; 0 when there is none.
std::size_t FirstFileFrame(const std::vector<CapturedItem>& capture) {
    std::size_t first = 0;
    for (std::size_t i = 0; i + 1 < capture.size(); ++i) {
        if (capture[i].kind == CaptureKind::Frame &&
            capture[i].bytes[kTypeOffset] == kTypeConnect) {
            first = i + 1;
        }
    }
    return first;
}

} // namespace

std::optional<WireFigures> AnalyseCapture(const std::vector<CapturedItem>& capture,
                                          const WireTiming& timing) {
    const std::size_t first = FirstFileFrame(capture);
    if (capture.empty() || capture.front().kind != CaptureKind::WakeUp || first == 0) {
        return std::nullopt;
    }
    WireFigures figures;
    figures.exchanges = capture.size();
    figures.fileExchanges = capture.size() - first;
    figures.wakeUpMs = capture.front().ms;
    figures.firstFileFrameMs = capture[first].ms;
    figures.lastFrameMs = capture.back().ms;
    for (std::size_t i = 0; i < capture.size(); ++i) {
        const std::optional<ItemCost> cost = CostOf(capture[i]);
        if (!cost) {
            return std::nullopt;
        }
        const double sentMs = cost->sentBytes * timing.byteMs;
        const double replyMs = ReplyMs(*cost, timing);
        figures.runBoundMs += sentMs + replyMs;
        if (i > first) {
            figures.fileBoundMs += sentMs;
        }
        if (i >= first && i + 1 < capture.size()) {
            figures.fileBoundMs += replyMs;
        }
    }
    return figures;
}
