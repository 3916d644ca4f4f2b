// The simulator's only contact with threads, locks and the real clock.
//
// The simulator core is plain C++20 and is built twice: as the POSIX device
// backend module and, with MinGW, inside a WinUSB-shaped DLL. MinGW's win32
// thread model has no std::thread or std::mutex, so everything that needs the
// operating system sits here, once with the standard library and once with
// Win32, behind three small types: a recursive mutex, a ticker thread that
// calls a function about once per millisecond, and a monotonic clock.
//
// The mutex is recursive on purpose: completion callbacks are called with it
// held (so that none can run after a read was cancelled), and a callback or a
// test may call back into the simulator on the same thread.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace tsim {

// Milliseconds of a monotonic clock since an arbitrary origin.
inline double monotonicMs() {
#if defined(_WIN32)
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
#else
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
#endif
}

// Gives the processor to another thread for a moment.
inline void yieldThread() {
#if defined(_WIN32)
    SwitchToThread();
#else
    std::this_thread::yield();
#endif
}

class SimMutex {
public:
#if defined(_WIN32)
    SimMutex() {
        InitializeCriticalSection(&section_);
    }
    ~SimMutex() {
        DeleteCriticalSection(&section_);
    }
    void lock() {
        EnterCriticalSection(&section_);
    }
    void unlock() {
        LeaveCriticalSection(&section_);
    }
#else
    SimMutex() = default;
    void lock() {
        mutex_.lock();
    }
    void unlock() {
        mutex_.unlock();
    }
#endif
    SimMutex(const SimMutex&) = delete;
    SimMutex& operator=(const SimMutex&) = delete;

private:
#if defined(_WIN32)
    CRITICAL_SECTION section_;
#else
    std::recursive_mutex mutex_;
#endif
};

class SimLock {
public:
    explicit SimLock(SimMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~SimLock() { mutex_.unlock(); }
    SimLock(const SimLock&) = delete;
    SimLock& operator=(const SimLock&) = delete;

private:
    SimMutex& mutex_;
};

// A thread that calls fn(context) about once per millisecond until stopped.
// Not thread-safe itself: its owner serialises start and stop. stop() joins
// the thread, except when called from the ticker thread itself (from inside
// fn), where it only asks the thread to end after the current call; the next
// start() or stop() then joins it. On Windows, stop() must not be reached
// from DllMain while the thread runs (the loader lock would deadlock the
// join): the DLL face stops the ticker before it is unloaded.
class Ticker {
public:
    using Function = void (*)(void* context);

    Ticker() = default;
    ~Ticker() { stop(); }
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // Returns false when the thread could not be started.
    bool start(Function fn, void* context) {
        stop();
        fn_ = fn;
        context_ = context;
#if defined(_WIN32)
        stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stopEvent_ == nullptr) return false;
        thread_ = CreateThread(nullptr, 0, &Ticker::threadMain, this, 0, &threadId_);
        if (thread_ == nullptr) {
            CloseHandle(stopEvent_);
            stopEvent_ = nullptr;
            return false;
        }
#else
        stopRequested_ = false;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            return false;
        }
#endif
        running_ = true;
        return true;
    }

    void stop() {
#if defined(_WIN32)
        if (thread_ == nullptr) return;
        SetEvent(stopEvent_);
        if (GetCurrentThreadId() == threadId_) {
            running_ = false;
            return;
        }
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stopEvent_);
        thread_ = nullptr;
        stopEvent_ = nullptr;
        threadId_ = 0;
#else
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> guard(stopMutex_);
            stopRequested_ = true;
        }
        stopSignal_.notify_all();
        if (std::this_thread::get_id() == thread_.get_id()) {
            running_ = false;
            return;
        }
        thread_.join();
#endif
        running_ = false;
    }

    // True from a successful start() until stop() was called.
    bool running() const {
        return running_;
    }

private:
#if defined(_WIN32)
    static DWORD WINAPI threadMain(LPVOID self) {
        Ticker* ticker = static_cast<Ticker*>(self);
        // Wait returns WAIT_TIMEOUT every millisecond until the stop event is set.
        while (WaitForSingleObject(ticker->stopEvent_, 1) == WAIT_TIMEOUT)
            ticker->fn_(ticker->context_);
        return 0;
    }
    HANDLE thread_ = nullptr;
    HANDLE stopEvent_ = nullptr;
    DWORD threadId_ = 0;
#else
    void run() {
        std::unique_lock<std::mutex> lock(stopMutex_);
        for (;;) {
            if (stopSignal_.wait_for(lock, std::chrono::milliseconds(1),
                                     [this] { return stopRequested_; }))
                return;
            lock.unlock();
            fn_(context_);
            lock.lock();
            if (stopRequested_) return;
        }
    }
    std::thread thread_;
    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    bool stopRequested_ = false;
#endif
    Function fn_ = nullptr;
    void* context_ = nullptr;
    std::atomic<bool> running_{false};
};

}  // namespace tsim
