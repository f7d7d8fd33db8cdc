#include "runtime/Thread.h"

TThread::~TThread() {
    WaitFor();
}

void TThread::Start() {
    if (!started) {
        started = true;
        thread = std::thread([this] { Execute(); });
    }
}

void TThread::WaitFor() {
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    }
}
