// The dashboard's HTTP server, read-only: the page, the status as JSON, the
// changes as server-sent events and the Prometheus metrics, all from the
// status board. One event-driven thread serves every connection, so idle or
// slow clients cost no thread; a second thread wakes the event streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ListenAddress.h"
#include "StatusBoard.h"

struct MHD_Daemon;
struct MHD_Connection;

class StatusServer {
  public:
    explicit StatusServer(StatusBoard& statusBoard);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds and serves; false, with Error() saying why, when it cannot.
    bool Start(const ListenAddress& address);
    const std::string& Error() const { return error; }
    // The URL it serves, its port as bound.
    const std::string& Url() const { return url; }
    void Stop();

    // One client's event stream.
    struct Stream {
        StatusServer* server;
        MHD_Connection* connection;
        std::uint64_t seen = 0;
        std::string pending = "retry: 1000\n\n";
        std::size_t sent = 0;
        bool heartbeat = false;
    };
    // The MHD callbacks' way in.
    int Answer(MHD_Connection* connection, const std::string& path, const std::string& method);
    long Feed(Stream& stream, char* buffer, std::size_t room);
    void Forget(Stream* stream);

  private:
    int OpenEvents(MHD_Connection* connection, bool head);
    void WakeStreams();

    StatusBoard& board;
    MHD_Daemon* daemon = nullptr;
    std::thread waker;
    std::string error;
    std::string url;
    std::mutex streamsMutex;
    std::vector<Stream*> suspended;
    bool stopping = false;
    std::atomic<int> streams{0};
};
