// The station built without an HTTP library (the static build): --http is
// refused before any device is touched.
#include "StatusServer.h"

StatusServer::StatusServer(StatusBoard& statusBoard) : board(statusBoard) {}

StatusServer::~StatusServer() = default;

bool StatusServer::Start(const ListenAddress&) {
    error = "this build of zul-station has no HTTP server";
    return false;
}

void StatusServer::Stop() {}
