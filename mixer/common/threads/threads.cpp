#include "mixer/common/threads/threads.h"

#include "mixer/common/threads/win_sync.h"

#include <cstring>
#include <new>

namespace Orvo::common::threads {

// ---- CThread ----

CThread::CThread() = default;

CThread::CThread(ThreadFunction function, void* userData) : userData_(userData), function_(function) {}

CThread::~CThread()
{
    Stop();
    if (handle_ != 0)
        win::closeHandle(handle_);
}

bool CThread::Start()
{
    if (threadId_.load() != 0)
        return true;
    if (handle_ != 0) { // the handle of an earlier run
        win::closeHandle(handle_);
        handle_ = 0;
    }
    // Run flag and running marker are set before the thread can test or clear them.
    run_ = true;
    threadId_ = 0xFFFFFFFFu;
    uint32_t id = 0;
    const WaitHandle h = win::createThread(&CThread::ThreadEntry, this, &id);
    if (h == 0) {
        run_ = false;
        threadId_ = 0;
        return false;
    }
    handle_ = h;
    // The thread may already have ended (and cleared the marker); keep its clear.
    uint32_t expected = 0xFFFFFFFFu;
    threadId_.compare_exchange_strong(expected, id);
    return true;
}

void CThread::RequestStop() { run_ = false; }

void CThread::Stop()
{
    run_ = false;
    const uint32_t id = threadId_.load();
    if (id == 0 || id == win::currentThreadId())
        return;
    while (threadId_.load() != 0)
        win::switchToThread();
}

int CThread::Join()
{
    if (handle_ == 0 || threadId_.load() == 0)
        return 0;
    win::waitForAny(&handle_, 1, 0xFFFFFFFFu);
    const int closed = win::closeHandle(handle_) ? 1 : 0;
    handle_ = 0;
    return closed;
}

uint32_t CThread::ThreadEntry(void* arg)
{
    auto* self = static_cast<CThread*>(arg);
    if (self->function_) {
        self->function_(self, &self->run_, self->userData_);
        self->run_ = false;
    }
    self->threadId_ = 0; // last touch of the object: Stop() may delete it now
    return 0;
}

// ---- CMutex ----

CMutex::CMutex() : handle_(win::createMutex()) {}

CMutex::~CMutex()
{
    win::waitForAny(&handle_, 1, 0xFFFFFFFFu);
    win::closeHandle(handle_);
}

int CMutex::Lock()
{
    const uint32_t self = win::currentThreadId();
    if (owner_.load(std::memory_order_relaxed) == self)
        return 0;
    if (win::waitForAny(&handle_, 1, 0xFFFFFFFFu) != 0)
        return 0;
    owner_ = self;
    return 1;
}

int CMutex::Unlock()
{
    const uint32_t self = win::currentThreadId();
    if (owner_.load(std::memory_order_relaxed) != self)
        return 0;
    owner_ = 0;
    win::releaseMutex(handle_);
    return 1;
}

int CMutex::TryLock()
{
    const uint32_t self = win::currentThreadId();
    if (owner_.load(std::memory_order_relaxed) == self)
        return 0;
    if (win::waitForAny(&handle_, 1, 0) != 0)
        return 0;
    owner_ = self;
    return 1;
}

bool CMutex::IsOwnedByCaller() const { return owner_.load(std::memory_order_relaxed) == win::currentThreadId(); }

// ---- console reader ----

namespace {
std::atomic<WinStdIn*> g_reader{nullptr};
std::atomic<std::FILE*> g_input{nullptr};
} // namespace

WinStdIn* ConsoleReader() { return g_reader.load(); }

void WinStdIn::SetInput(std::FILE* stream) { g_input = stream; }

WinStdIn::WinStdIn()
    : CThread(&WinStdIn::ThreadProc, this), lineReady_(win::createEvent(false, false)),
      lineConsumed_(win::createEvent(false, false))
{
}

WinStdIn::~WinStdIn()
{
    RequestStop();
    win::setEvent(lineConsumed_); // a reader waiting for its line to be taken sees the stop
    Stop();                       // a reader blocked reading the stream ends with that read
    win::closeHandle(lineReady_);
    win::closeHandle(lineConsumed_);
}

void WinStdIn::ThreadProc(CThread*, std::atomic<bool>* run, void* arg)
{
    auto* self = static_cast<WinStdIn*>(arg);
    while (*run) {
        std::FILE* in = g_input.load();
        if (!in)
            in = stdin;
        self->length_ = 0;
        while (self->length_ < kLineSize - 1) {
            const int c = std::getc(in);
            if (c == EOF || static_cast<signed char>(c) <= 31)
                break;
            self->line_[self->length_++] = static_cast<char>(c);
        }
        self->line_[self->length_] = '\0';
        win::setEvent(self->lineReady_);
        win::waitForAny(&self->lineConsumed_, 1, 0xFFFFFFFFu);
    }
}

char* consoleReadLine(char* buffer, int n, std::FILE* stream)
{
    WinStdIn* reader = g_reader.load();
    if (reader && stream == stdin) {
        std::strncpy(buffer, reader->Line(), static_cast<size_t>(n));
        win::setEvent(reader->LineConsumed());
        return buffer;
    }
    return std::fgets(buffer, n, stream);
}

// ---- CCondition ----

CCondition::CCondition() : event_(win::createEvent(false, false))
{
    AddHandle(event_); // 0 when the event could not be made: the console reader then
}

CCondition::~CCondition()
{
    while (count_ > 0)
        RemoveHandle(handles_[0]);
    if (event_ != 0)
        win::closeHandle(event_);
}

int CCondition::Wait(uint32_t ms)
{
    if (count_ == 0)
        return kFailed;
    waiting_ = true;
    const uint32_t r = win::waitForAny(handles_, count_, ms);
    waiting_ = false;
    if (r == win::kWaitTimeout)
        return kTimeout;
    if (r == win::kWaitFailed || r >= count_)
        return kFailed;
    const WaitHandle fired = handles_[r];
    WinStdIn* reader = g_reader.load();
    if (reader && fired == reader->LineReady())
        return 0;
    return static_cast<int>(fired);
}

int CCondition::WaitForever() { return Wait(0xFFFFFFFFu); }

bool CCondition::Signal()
{
    CMutexGuard guard(signalMutex_);
    return event_ != 0 && win::setEvent(event_);
}

bool CCondition::AddHandle(WaitHandle h)
{
    for (uint32_t i = 0; i < count_; ++i)
        if (handles_[i] == h && h != 0)
            return true;
    if (count_ >= kMaxHandles)
        return false;
    if (h == 0) {
        if (g_reader.load())
            return false;
        auto* reader = new (std::nothrow) WinStdIn();
        if (!reader)
            return false;
        g_reader = reader;
        reader->Start();
        h = reader->LineReady();
        for (uint32_t i = 0; i < count_; ++i)
            if (handles_[i] == h)
                return true;
    }
    handles_[count_++] = h;
    return true;
}

bool CCondition::RemoveHandle(WaitHandle h)
{
    if (h == 0) {
        WinStdIn* reader = g_reader.load();
        if (!reader)
            return false;
        h = reader->LineReady();
        g_reader = nullptr;
        delete reader;
    }
    for (uint32_t i = 0; i < count_; ++i) {
        if (handles_[i] == h) {
            for (uint32_t k = i + 1; k < count_; ++k)
                handles_[k - 1] = handles_[k];
            handles_[--count_] = 0;
            return true;
        }
    }
    return false;
}

} // namespace Orvo::common::threads

using Orvo::common::threads::CMutex;

CMutex* mutexCreate() { return new (std::nothrow) CMutex(); }
void mutexDestroy(CMutex* mutex) { delete mutex; }
int mutexLock(CMutex* mutex) { return mutex ? mutex->Lock() : 0; }
int mutexUnlock(CMutex* mutex) { return mutex ? mutex->Unlock() : 0; }
int mutexTryLock(CMutex* mutex) { return mutex ? mutex->TryLock() : 0; }
