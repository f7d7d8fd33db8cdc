#include "StatusServer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DashboardPage.h"

namespace {

// Bounds: connections at once (each at most kConnectionMemory for its
// request and headers), seconds a silent connection is kept, event streams
// at once, and how often a quiet stream is written to so that a vanished
// client is noticed.
constexpr unsigned kConnections = 512;
constexpr std::size_t kConnectionMemory = 16 * 1024;
constexpr unsigned kIdleSeconds = 10;
constexpr int kStreams = 32;
constexpr auto kHeartbeat = std::chrono::seconds(15);
constexpr std::size_t kStreamBlock = 4096;
constexpr int kBacklog = 64;

// A listening socket on `address`, or -1 with `error` set.
int Listen(const ListenAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    if (getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found) != 0) {
        error = "not an address";
        return -1;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    const bool bound = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                       bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
                       listen(fd, kBacklog) == 0;
    error = bound ? "" : std::strerror(errno);
    freeaddrinfo(found);
    if (!bound && fd >= 0) {
        close(fd);
    }
    return bound ? fd : -1;
}

unsigned BoundPort(int fd) {
    sockaddr_storage name{};
    socklen_t size = sizeof name;
    getsockname(fd, reinterpret_cast<sockaddr*>(&name), &size);
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&name);
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&name);
    return ntohs(name.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
}

MHD_Result Reply(MHD_Connection* connection, unsigned code, const std::string& type,
                 const std::string& body, bool page = false) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (code == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    if (page) { // nothing from another host, whatever the page held
        MHD_add_response_header(response, "Content-Security-Policy",
                                "default-src 'none'; script-src 'unsafe-inline'; "
                                "style-src 'unsafe-inline'; connect-src 'self'");
    }
    const MHD_Result queued = MHD_queue_response(connection, code, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Access(void* server, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
    return static_cast<MHD_Result>(
        static_cast<StatusServer*>(server)->Answer(connection, url, method));
}

ssize_t ReadStream(void* stream, uint64_t, char* buffer, size_t room) {
    auto* events = static_cast<StatusServer::Stream*>(stream);
    return events->server->Feed(*events, buffer, room);
}

void FreeStream(void* stream) {
    auto* events = static_cast<StatusServer::Stream*>(stream);
    events->server->Forget(events);
}

} // namespace

StatusServer::StatusServer(StatusBoard& statusBoard) : board(statusBoard) {}

StatusServer::~StatusServer() {
    Stop();
}

bool StatusServer::Start(const ListenAddress& address) {
    const int fd = Listen(address, error);
    if (fd < 0) {
        return false;
    }
    // The server's threads take none of the station's signals, nor a broken pipe.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    daemon = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
                              nullptr, &Access, this, MHD_OPTION_LISTEN_SOCKET, fd,
                              MHD_OPTION_CONNECTION_LIMIT, kConnections,
                              MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
                              MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_END);
    if (daemon != nullptr) {
        waker = std::thread(&StatusServer::WakeStreams, this);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (daemon == nullptr) {
        close(fd);
        error = "the HTTP server did not start";
        return false;
    }
    url = address.Url(BoundPort(fd));
    return true;
}

void StatusServer::Stop() {
    if (daemon == nullptr) {
        return;
    }
    {
        // A suspended stream must be resumed before the daemon may stop.
        const std::lock_guard lock(streamsMutex);
        stopping = true;
        for (Stream* stream : suspended) {
            MHD_resume_connection(stream->connection);
        }
        suspended.clear();
    }
    board.Close();
    waker.join();
    MHD_stop_daemon(daemon);
    daemon = nullptr;
}

int StatusServer::Answer(MHD_Connection* connection, const std::string& path,
                         const std::string& method) {
    const bool head = method == MHD_HTTP_METHOD_HEAD;
    if (method != MHD_HTTP_METHOD_GET && !head) {
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain", "GET or HEAD only\n");
    }
    if (path == "/") {
        return Reply(connection, MHD_HTTP_OK, "text/html; charset=utf-8", DashboardPage(), true);
    }
    if (path == "/api/status") {
        return Reply(connection, MHD_HTTP_OK, "application/json", board.StatusJson());
    }
    if (path == "/metrics") {
        return Reply(connection, MHD_HTTP_OK, "text/plain; version=0.0.4; charset=utf-8",
                     board.MetricsText());
    }
    if (path == "/api/events") {
        return OpenEvents(connection, head);
    }
    return Reply(connection, MHD_HTTP_NOT_FOUND, "text/plain", "not found\n");
}

int StatusServer::OpenEvents(MHD_Connection* connection, bool head) {
    if (head) {
        return Reply(connection, MHD_HTTP_OK, "text/event-stream", "");
    }
    if (++streams > kStreams) {
        --streams;
        return Reply(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain", "too many streams\n");
    }
    auto* stream = new Stream{this, connection};
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock,
                                                               &ReadStream, stream, &FreeStream);
    if (response == nullptr) {
        Forget(stream);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

// The server's thread: what is pending, else the next events, else a
// heartbeat when one is due; with nothing to send the stream is suspended
// until WakeStreams resumes it.
long StatusServer::Feed(Stream& stream, char* buffer, std::size_t room) {
    if (stream.sent == stream.pending.size()) {
        stream.pending = board.EventsSince(stream.seen);
        stream.sent = 0;
    }
    if (stream.pending.empty()) {
        const std::lock_guard lock(streamsMutex);
        if (stopping) {
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
        if (stream.heartbeat) {
            stream.pending = ":\n\n";
        } else if (board.LastEvent() == stream.seen) {
            suspended.push_back(&stream);
            MHD_suspend_connection(stream.connection);
            return 0;
        }
        stream.heartbeat = false;
    }
    const std::size_t size = std::min(room, stream.pending.size() - stream.sent);
    std::memcpy(buffer, stream.pending.data() + stream.sent, size);
    stream.sent += size;
    return static_cast<long>(size);
}

void StatusServer::Forget(Stream* stream) {
    {
        const std::lock_guard lock(streamsMutex);
        std::erase(suspended, stream);
    }
    --streams;
    delete stream;
}

// Resumes the suspended streams at each event and at each heartbeat.
void StatusServer::WakeStreams() {
    std::uint64_t seen = board.LastEvent();
    for (bool open = true; open;) {
        const auto heartbeat = StatusBoard::Clock::now() + kHeartbeat;
        open = board.AwaitEvents(seen, heartbeat);
        seen = board.LastEvent();
        const bool quiet = StatusBoard::Clock::now() >= heartbeat;
        const std::lock_guard lock(streamsMutex);
        for (Stream* stream : suspended) {
            stream->heartbeat = quiet;
            MHD_resume_connection(stream->connection);
        }
        suspended.clear();
    }
}
