#pragma once
// Framework requests and I/O targets.
//
// A request is either an I/O request that the I/O manager built for a
// client's call (device control, create) and hands to the driver, or a
// request the driver created to send to an I/O target (USB transfers).
// Driver-created requests are reusable: reuse() makes a completed request
// ready to be formatted and sent again.

#include "platform/kernel/clock.h"
#include "platform/kernel/framework_object.h"
#include "platform/kernel/status.h"
#include "platform/object/process.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace kplat {

class FileObject;
class IoTarget;
class Request;

namespace usb {
class Pipe;
}

// Who made a request: the calling process (its handle table resolves the
// handles a request carries) and thread. The I/O manager fills in the calling
// thread's current process when none is given.
struct Caller {
    uint32_t processId = 0;
    uint32_t threadId = 0;
    ob::Ref<ob::Process> process;
};

enum class RequestKind : uint8_t { None, Create, DeviceControl, Urb };

struct RequestParameters {
    RequestKind kind = RequestKind::None;
    uint32_t ioControlCode = 0;
    size_t inputBufferLength = 0;
    size_t outputBufferLength = 0;
};

using CompletionRoutine = void (*)(Request& request, IoTarget& target, void* context);

struct SendOptions {
    // 0 = no time-out; otherwise the request is cancelled with
    // status::kIoTimeout if it has not completed after this long.
    Ticks timeout = 0;
};

class Request final : public Object {
public:
    // A request for the driver to send; attributes may carry a context.
    static Status create(const ObjectAttributes& attributes, Request** out);

    // Driver-made requests: make a completed (or fresh) request reusable.
    void reuse(Status newStatus = status::kSuccess);
    void setCompletionRoutine(CompletionRoutine routine, void* context);
    // False when the request could not be sent (status() says why); the
    // completion routine then does not run.
    bool send(IoTarget& target, const SendOptions& options);

    Status status() const { return status_; }
    uint64_t information() const { return information_; }
    // USB status of a completed transfer.
    int32_t usbdStatus() const { return usbdStatus_; }

    // I/O requests handed to the driver.
    RequestParameters parameters() const { return parameters_; }
    // METHOD_BUFFERED: input and output share one system buffer. A buffer
    // shorter than `minimumLength` (or empty) fails with
    // status::kBufferTooSmall.
    Status retrieveInputBuffer(size_t minimumLength, void** buffer, size_t* length);
    Status retrieveOutputBuffer(size_t minimumLength, void** buffer, size_t* length);
    void complete(Status status);
    void completeWithInformation(Status status, uint64_t information);
    FileObject* fileObject() const { return file_; }
    const Caller& caller() const { return caller_; }

    // --- for the stand-in's own layers ------------------------------------
    static Request* createIo(const RequestParameters& parameters, void* systemBuffer, FileObject* file,
                             const Caller& caller);
    bool ioCompleted() const;
    void waitIoCompleted();
    void setUrb(usb::Pipe* pipe, void* urb, size_t capacity)
    {
        parameters_.kind = RequestKind::Urb;
        pipe_ = pipe;
        urb_ = urb;
        urbCapacity_ = capacity;
    }
    usb::Pipe* pipe() const { return pipe_; }
    void* urb() const { return urb_; }
    size_t urbCapacity() const { return urbCapacity_; }
    bool pending() const { return pending_; }
    IoTarget* target() const { return target_; }

    // Intrusive links, owned by the target (targetLink) and the layer below
    // it (scheduleLink), so that sending and completing do not allocate.
    Request* targetPrev = nullptr;
    Request* targetNext = nullptr;
    Request* schedulePrev = nullptr;
    Request* scheduleNext = nullptr;
    Request* doneNext = nullptr;
    uint64_t scheduleKey = 0;     // the lower layer's sort key (start frame)
    uint32_t scheduleFrames = 0;  // frames the transfer covers
    Status scheduleFailure = 0;   // nonzero: complete with this at the next chance
    int32_t scheduleUsbdFailure = 0;
    bool onSchedule = false;

private:
    friend class IoTarget;
    Request(const ObjectAttributes& attributes);
    void teardown() override;
    static void onTimeout(ClockEntry& entry);

    RequestParameters parameters_;
    void* systemBuffer_ = nullptr;
    FileObject* file_ = nullptr;
    Caller caller_;
    bool ioRequest_ = false;
    bool ioCompleted_ = false;
    std::mutex ioMutex_;
    std::condition_variable ioDone_;

    Status status_ = status::kSuccess;
    uint64_t information_ = 0;
    int32_t usbdStatus_ = 0;
    CompletionRoutine completion_ = nullptr;
    void* completionContext_ = nullptr;
    IoTarget* target_ = nullptr;
    bool pending_ = false;
    usb::Pipe* pipe_ = nullptr;
    void* urb_ = nullptr;
    size_t urbCapacity_ = 0;
    uint64_t generation_ = 0; // one per send, so a late time-out spares the next send
    struct TimeoutEntry : ClockEntry {
        Request* owner = nullptr;
        uint64_t generation = 0;
    } timeout_;
};

// An I/O target: where a driver sends requests. It tracks what was sent
// through it, so that stopping it can cancel them.
class IoTarget {
public:
    enum class StopAction : uint8_t { CancelSentIo, LeaveSentIoPending };
    enum class State : uint8_t { Started, Stopped, Gone };

    virtual ~IoTarget();
    IoTarget(const IoTarget&) = delete;
    IoTarget& operator=(const IoTarget&) = delete;

    Status start();
    // Passive level. With CancelSentIo every request sent through this target
    // is completed with status::kCancelled before stop returns.
    void stop(StopAction action);
    State state() const;
    size_t pendingCount() const;

    // --- for the layer below ----------------------------------------------
    // Completes a sent request (at dispatch level) after the layer below has
    // taken it off its own lists.
    void finish(Request& request, Status status, uint64_t information, int32_t usbdStatus);
    // The target is gone with its device: sends fail from now on.
    void markGone();

protected:
    IoTarget();
    // Hands a request to the layer below; an error fails the send.
    virtual Status submit(Request& request) = 0;
    // Takes a sent request back from the layer below; false when it is
    // already on its way to completion.
    virtual bool withdraw(Request& request) = 0;
    virtual void onStarted() {}
    virtual void onStopped() {}

private:
    friend class Request;
    bool add(Request& request);
    void unlink(Request& request);
    void cancelRequest(Request& request, uint64_t generation, Status status);

    mutable std::mutex mutex_;
    std::condition_variable drained_;
    Request* head_ = nullptr;
    size_t pending_ = 0;
    size_t completing_ = 0;
    State state_ = State::Started;
};

} // namespace kplat
