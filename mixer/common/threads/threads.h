#pragma once
// Worker threads with a cooperative run flag, a mutex that remembers its
// owner, and an auto-reset wake-up condition with a wait set. The framing
// layer reaches CMutex through the C wrappers at the end.

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace Orvo::common::threads {

using WaitHandle = uint32_t; // 0 stands for the console reader in CCondition

class CThread;
// Loops while *run is true and returns when it is false.
using ThreadFunction = void (*)(CThread* thread, std::atomic<bool>* run, void* userData);

class CThread {
public:
    CThread();
    CThread(ThreadFunction function, void* userData);
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // False when the thread cannot be made; true (and nothing) when running.
    bool Start();
    // Asks the thread to end and yields until it has. Never from the thread itself.
    void Stop();
    // Clears the run flag only, so the caller can wake the thread before Stop().
    void RequestStop();
    // Waits for a running thread to end and closes its handle: the close result, else 0.
    int Join();

    bool IsRunning() const { return threadId_.load() != 0; }
    uint32_t ThreadId() const { return threadId_.load(); }
    void SetFunction(ThreadFunction function) { function_ = function; }
    void SetUserData(void* userData) { userData_ = userData; }
    void* UserData() const { return userData_; }

private:
    static uint32_t ThreadEntry(void* self);

    WaitHandle handle_ = 0;
    std::atomic<uint32_t> threadId_{0}; // nonzero from Start until the thread has ended
    std::atomic<bool> run_{false};
    void* userData_ = nullptr;
    ThreadFunction function_ = nullptr;
};

// Not counting: a Lock by the owner returns 0 at once, and the owner's first
// Unlock releases. Callers that may already hold it release only what their
// own Lock took (CMutexGuard does that).
class CMutex {
public:
    CMutex();
    virtual ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    int Lock();    // 1 when this call took it, 0 when the caller already owned it
    int Unlock();  // 0 (and nothing) unless the caller owns it
    int TryLock(); // 1 when taken now; 0 when owned by the caller or busy
    bool IsOwnedByCaller() const;

private:
    WaitHandle handle_;
    std::atomic<uint32_t> owner_{0};
};

// Holds a CMutex for a scope, releasing it only if this guard's Lock took it.
class CMutexGuard {
public:
    explicit CMutexGuard(CMutex& mutex) : mutex_(mutex), took_(mutex.Lock() == 1) {}
    ~CMutexGuard()
    {
        if (took_)
            mutex_.Unlock();
    }
    CMutexGuard(const CMutexGuard&) = delete;
    CMutexGuard& operator=(const CMutexGuard&) = delete;

private:
    CMutex& mutex_;
    bool took_;
};

class CCondition {
public:
    static constexpr uint32_t kMaxHandles = 20;
    static constexpr int kTimeout = -2;
    static constexpr int kFailed = -1;

    CCondition();
    virtual ~CCondition();
    CCondition(const CCondition&) = delete;
    CCondition& operator=(const CCondition&) = delete;

    // -2 time-out, -1 failure, 0 the console reader's line, else the handle that fired.
    int Wait(uint32_t ms);
    int WaitForever();
    // One signal releases one wait; signals while nobody waits collapse into one.
    bool Signal();
    bool AddHandle(WaitHandle h);
    bool RemoveHandle(WaitHandle h);

    uint32_t HandleCount() const { return count_; }
    bool IsWaiting() const { return waiting_.load(); }

private:
    WaitHandle handles_[kMaxHandles] = {};
    WaitHandle event_;
    std::atomic<bool> waiting_{false};
    CMutex signalMutex_;
    uint32_t count_ = 0;
};

// Reads console lines on a thread of its own; at most one per process.
class WinStdIn : public CThread {
public:
    static constexpr uint32_t kLineSize = 256;
    WinStdIn();
    ~WinStdIn() override;

    WaitHandle LineReady() const { return lineReady_; }
    WaitHandle LineConsumed() const { return lineConsumed_; }
    const char* Line() const { return line_; }

    // The stream the reader reads (standard input unless a test sets another).
    static void SetInput(std::FILE* stream);

private:
    static void ThreadProc(CThread* thread, std::atomic<bool>* run, void* self);
    WaitHandle lineReady_;
    WaitHandle lineConsumed_;
    char line_[kLineSize] = {};
    uint32_t length_ = 0;
};

WinStdIn* ConsoleReader(); // the process's reader, or null

// Copies the reader's line for standard input when a reader runs; else fgets.
char* consoleReadLine(char* buffer, int n, std::FILE* stream);

} // namespace Orvo::common::threads

// C wrappers for the framing layer; null handles yield 0.
Orvo::common::threads::CMutex* mutexCreate();
void mutexDestroy(Orvo::common::threads::CMutex* mutex);
int mutexLock(Orvo::common::threads::CMutex* mutex);
int mutexUnlock(Orvo::common::threads::CMutex* mutex);
int mutexTryLock(Orvo::common::threads::CMutex* mutex);
