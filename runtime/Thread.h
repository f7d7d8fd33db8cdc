// A thread object in the manner of the runtime's TThread: created suspended,
// started once, its body a virtual operation of the derived class.
#pragma once

#include <atomic>
#include <thread>

class TThread {
  public:
    TThread() = default;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Joins a thread that was started: a body that has finished is joined at
    // once. A derived class whose body uses its members calls WaitFor() in its
    // own destructor, before those members go.
    virtual ~TThread();

    // Begins the body on a thread of its own; later calls do nothing.
    void Start();
    void Terminate() { terminated.store(true, std::memory_order_relaxed); }
    bool Terminated() const { return terminated.load(std::memory_order_relaxed); }

  protected:
    virtual void Execute() = 0;
    void WaitFor();

  private:
    std::thread thread;
    bool started = false;
    std::atomic<bool> terminated{false};
};
