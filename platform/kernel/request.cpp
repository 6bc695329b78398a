#include "platform/kernel/request.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"

namespace kplat {

namespace {
constexpr int32_t kUsbdCancelled = static_cast<int32_t>(0xC0010000);
}

Request::Request(const ObjectAttributes& attributes) : Object(attributes, nullptr)
{
    timeout_.owner = this;
    timeout_.setFire(&Request::onTimeout);
}

Status Request::create(const ObjectAttributes& attributes, Request** out)
{
    *out = nullptr;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    auto* request = new Request(attributes);
    if (!request->valid()) {
        request->deleteObject();
        return status::kInsufficientResources;
    }
    *out = request;
    return status::kSuccess;
}

Request* Request::createIo(const RequestParameters& parameters, void* systemBuffer, FileObject* file,
                           const Caller& caller)
{
    auto* request = new Request(ObjectAttributes{});
    request->ioRequest_ = true;
    request->parameters_ = parameters;
    request->systemBuffer_ = systemBuffer;
    request->file_ = file;
    request->caller_ = caller;
    return request;
}

void Request::teardown()
{
    if (pending_)
        violation("deleting a request that is still pending");
    kernelClock().cancelAndWait(timeout_);
}

void Request::reuse(Status newStatus)
{
    if (ioRequest_)
        violation("reusing an I/O request");
    if (pending_)
        violation("reusing a request that is still pending");
    status_ = newStatus;
    information_ = 0;
    usbdStatus_ = 0;
    completion_ = nullptr;
    completionContext_ = nullptr;
    parameters_ = {};
    pipe_ = nullptr;
    urb_ = nullptr;
    urbCapacity_ = 0;
}

void Request::setCompletionRoutine(CompletionRoutine routine, void* context)
{
    completion_ = routine;
    completionContext_ = context;
}

bool Request::send(IoTarget& target, const SendOptions& options)
{
    requireAtMost(Level::Dispatch, "sending a request");
    if (ioRequest_)
        violation("sending an I/O request that belongs to a client");
    if (pending_)
        violation("sending a request that is still pending");
    if (consumeFault(FaultKind::RequestSend)) {
        status_ = status::kInsufficientResources;
        return false;
    }
    if (!target.add(*this))
        return false;
    if (options.timeout) {
        timeout_.generation = generation_;
        kernelClock().schedule(timeout_, kernelClock().now() + options.timeout);
    }
    Status s = target.submit(*this);
    if (failed(s)) {
        target.unlink(*this);
        kernelClock().cancel(timeout_);
        status_ = s;
        return false;
    }
    return true;
}

void Request::onTimeout(ClockEntry& entry)
{
    auto& timeout = static_cast<TimeoutEntry&>(entry);
    Request& request = *timeout.owner;
    if (IoTarget* target = request.target_)
        target->cancelRequest(request, timeout.generation, status::kIoTimeout);
}

Status Request::retrieveInputBuffer(size_t minimumLength, void** buffer, size_t* length)
{
    if (parameters_.kind != RequestKind::DeviceControl)
        violation("retrieving the buffer of a request that has none");
    size_t have = parameters_.inputBufferLength;
    if (have == 0 || have < minimumLength)
        return status::kBufferTooSmall;
    *buffer = systemBuffer_;
    if (length)
        *length = have;
    return status::kSuccess;
}

Status Request::retrieveOutputBuffer(size_t minimumLength, void** buffer, size_t* length)
{
    if (parameters_.kind != RequestKind::DeviceControl)
        violation("retrieving the buffer of a request that has none");
    size_t have = parameters_.outputBufferLength;
    if (have == 0 || have < minimumLength)
        return status::kBufferTooSmall;
    *buffer = systemBuffer_;
    if (length)
        *length = have;
    return status::kSuccess;
}

void Request::complete(Status s) { completeWithInformation(s, 0); }

void Request::completeWithInformation(Status s, uint64_t information)
{
    requireAtMost(Level::Dispatch, "completing a request");
    if (!ioRequest_)
        violation("completing a request the driver created");
    if (parameters_.kind == RequestKind::DeviceControl && information > parameters_.outputBufferLength &&
        succeeded(s))
        violation("completing a request with more bytes than its output buffer holds");
    std::lock_guard lock(ioMutex_);
    if (ioCompleted_)
        violation("completing a request twice");
    status_ = s;
    information_ = information;
    ioCompleted_ = true;
    ioDone_.notify_all();
}

bool Request::ioCompleted() const
{
    std::lock_guard lock(const_cast<std::mutex&>(ioMutex_));
    return ioCompleted_;
}

void Request::waitIoCompleted()
{
    std::unique_lock lock(ioMutex_);
    ioDone_.wait(lock, [&] { return ioCompleted_; });
}

IoTarget::IoTarget() = default;

IoTarget::~IoTarget()
{
    if (head_)
        violation("an I/O target went away with requests pending");
}

Status IoTarget::start()
{
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Gone)
            return status::kNoSuchDevice;
        if (state_ == State::Started)
            return status::kSuccess;
        state_ = State::Started;
    }
    onStarted();
    return status::kSuccess;
}

void IoTarget::stop(StopAction action)
{
    requirePassive("stopping an I/O target");
    std::vector<std::pair<Request*, uint64_t>> sent;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Started)
            state_ = State::Stopped;
        for (Request* r = head_; r; r = r->targetNext)
            sent.emplace_back(r, r->generation_);
    }
    onStopped();
    if (action != StopAction::CancelSentIo)
        return;
    for (auto [request, generation] : sent)
        cancelRequest(*request, generation, status::kCancelled);
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [&] { return head_ == nullptr && completing_ == 0; });
}

IoTarget::State IoTarget::state() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

size_t IoTarget::pendingCount() const
{
    std::lock_guard lock(mutex_);
    return pending_;
}

void IoTarget::markGone()
{
    std::lock_guard lock(mutex_);
    state_ = State::Gone;
}

bool IoTarget::add(Request& request)
{
    std::lock_guard lock(mutex_);
    if (state_ != State::Started) {
        request.status_ = state_ == State::Gone ? status::kNoSuchDevice : status::kInvalidDeviceState;
        return false;
    }
    request.pending_ = true;
    request.target_ = this;
    request.status_ = status::kPending;
    ++request.generation_;
    request.targetPrev = nullptr;
    request.targetNext = head_;
    if (head_)
        head_->targetPrev = &request;
    head_ = &request;
    ++pending_;
    return true;
}

void IoTarget::unlink(Request& request)
{
    std::lock_guard lock(mutex_);
    if (request.targetPrev)
        request.targetPrev->targetNext = request.targetNext;
    else
        head_ = request.targetNext;
    if (request.targetNext)
        request.targetNext->targetPrev = request.targetPrev;
    request.targetPrev = request.targetNext = nullptr;
    request.pending_ = false;
    --pending_;
    if (!head_ && completing_ == 0)
        drained_.notify_all();
}

void IoTarget::finish(Request& request, Status s, uint64_t information, int32_t usbdStatus)
{
    {
        std::lock_guard lock(mutex_);
        ++completing_;
    }
    unlink(request);
    kernelClock().cancel(request.timeout_);
    request.status_ = s;
    request.information_ = information;
    request.usbdStatus_ = usbdStatus;
    if (request.completion_) {
        ScopedLevel level(Level::Dispatch);
        request.completion_(request, *this, request.completionContext_);
    }
    std::lock_guard lock(mutex_);
    if (--completing_ == 0 && !head_)
        drained_.notify_all();
}

void IoTarget::cancelRequest(Request& request, uint64_t generation, Status s)
{
    {
        std::lock_guard lock(mutex_);
        if (!request.pending_ || request.target_ != this || request.generation_ != generation)
            return;
    }
    if (withdraw(request))
        finish(request, s, 0, kUsbdCancelled);
}

} // namespace kplat
