#include "classcomp/kernel/process_rundown.h"

#include "classcomp/kernel/io_dispatch.h"
#include "platform/kernel/process_notify.h"
#include "platform/kernel/wait_lock.h"

namespace orvo::kernel {

using namespace kplat;

namespace {
// A wait lock, held across unmapping (passive-only calls): by the rundown,
// so that a handle it is undoing cannot close, nor its device go, meanwhile;
// and by every dispose, so that a rundown never finds views that another
// thread has taken off a handle but not yet unmapped.
WaitLock* gOpenFilesLock = nullptr;
FileContext* gOpenFiles = nullptr;

void onOpenFilesLockGone(Object&) { gOpenFilesLock = nullptr; }

FileContext* ContextOf(FileObject& file) { return file.contextAs<FileContext>(); }
} // namespace

Status InitProcessRundown(Object& driver)
{
    gOpenFiles = nullptr;
    ObjectAttributes attributes;
    attributes.parent = &driver;
    attributes.destroy = &onOpenFilesLockGone;
    Status s = WaitLock::create(attributes, &gOpenFilesLock);
    if (failed(s))
        return s;
    return setCreateProcessNotifyRoutine(&OnProcessNotify, false);
}

WaitLock& OpenFilesLock() { return *gOpenFilesLock; }

void ShutdownProcessRundown() { setCreateProcessNotifyRoutine(&OnProcessNotify, true); }

void TrackOpenFile(FileObject& file)
{
    FileContext* fc = ContextOf(file);
    fc->file = &file;
    WaitLockGuard guard(*gOpenFilesLock);
    fc->previousOpen = nullptr;
    fc->nextOpen = gOpenFiles;
    if (gOpenFiles)
        gOpenFiles->previousOpen = fc;
    gOpenFiles = fc;
}

void UntrackOpenFile(FileObject& file)
{
    FileContext* fc = ContextOf(file);
    WaitLockGuard guard(*gOpenFilesLock);
    if (fc->file != &file)
        return; // never tracked
    if (fc->previousOpen)
        fc->previousOpen->nextOpen = fc->nextOpen;
    else
        gOpenFiles = fc->nextOpen;
    if (fc->nextOpen)
        fc->nextOpen->previousOpen = fc->previousOpen;
    fc->file = nullptr;
    fc->previousOpen = fc->nextOpen = nullptr;
}

void OnProcessNotify(uint32_t parentId, uint32_t processId, bool create)
{
    (void)parentId;
    if (create)
        return;
    WaitLockGuard guard(*gOpenFilesLock);
    for (FileContext* fc = gOpenFiles; fc; fc = fc->nextOpen) {
        DeviceContext* c = GetDeviceContext(fc->file->device());
        bool viewsThere;
        {
            SpinLockGuard lock(*c->streamLock);
            viewsThere = fc->mappingProcess && fc->mappingProcess->process().id() == processId;
        }
        // The ending process's address space is still there: the views are
        // undone in it, and the handle's client goes with them.
        if (viewsThere)
            DisposeClientUnderOpenFilesLock(c, *fc->file);
    }
}

} // namespace orvo::kernel
