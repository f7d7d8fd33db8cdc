#include "Recordingport.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "serial/Serialport.h"

namespace recording {
std::vector<Call> calls;
std::deque<std::vector<std::uint8_t>> replies;

void PrintTo(const Call& call, std::ostream* out) {
    *out << call.what << " " << call.ms << " ms, " << call.bytes.size() << " bytes";
}
} // namespace recording

namespace serialport {

using recording::calls;

std::string PortDeviceName(int portNumber) {
    return "recorded" + std::to_string(portNumber);
}
Handle Open(int /*portNumber*/) {
    return 3;
}
void ClearAndPurge(Handle /*handle*/) {
    calls.push_back({"purge", 0, {}});
}
bool GetLineSettings(Handle /*handle*/, LineSettings& /*settings*/) {
    return true;
}
bool SetLineSettings(Handle /*handle*/, const LineSettings& /*settings*/) {
    return true;
}
bool SetTimeouts(Handle /*handle*/, std::uint32_t readMs, std::uint32_t writeMs) {
    calls.push_back({readMs == writeMs ? "timeouts" : "timeouts differ", readMs, {}});
    return true;
}
std::uint32_t Write(Handle /*handle*/, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t writeMs) {
    calls.push_back({"write", writeMs, {data, data + count}});
    return count;
}
bool Read(Handle /*handle*/, std::uint8_t* buffer, std::uint32_t count, std::uint32_t readMs,
          std::uint32_t& got) {
    calls.push_back({"read", readMs, std::vector<std::uint8_t>(count)});
    got = 0;
    if (!recording::replies.empty()) {
        const auto& reply = recording::replies.front();
        if (reply.empty()) { // scripted silence lasts the whole time-out
            std::this_thread::sleep_for(std::chrono::milliseconds(readMs));
        }
        got = static_cast<std::uint32_t>(std::min<std::size_t>(count, reply.size()));
        std::copy_n(reply.begin(), got, buffer);
        recording::replies.pop_front();
    }
    return true;
}
void Close(Handle /*handle*/) {}

} // namespace serialport
