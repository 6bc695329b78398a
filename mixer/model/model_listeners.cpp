#include "mixer/model/model_listeners.h"

#include "mixer/midi/midi_service.h"
#include "mixer/model/mixer_model.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace orvo::model {

namespace {

struct Entry {
    explicit Entry(MixerModel* m) : model(m) {}
    MixerModel* const model;
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<std::thread::id> running; // threads inside a call of this entry
    bool removed = false;
};

std::mutex g_lock;
std::vector<std::shared_ptr<Entry>> g_entries;
Orvo::Midi* g_service = nullptr; // the service the functions below are registered with

template <class F>
void forEachModel(F&& call)
{
    std::vector<std::shared_ptr<Entry>> entries;
    {
        std::lock_guard lock(g_lock);
        entries = g_entries;
    }
    const std::thread::id self = std::this_thread::get_id();
    for (const std::shared_ptr<Entry>& e : entries) {
        {
            std::lock_guard lock(e->mutex);
            if (e->removed)
                continue;
            e->running.push_back(self);
        }
        call(e->model);
        {
            std::lock_guard lock(e->mutex);
            e->running.erase(std::find(e->running.begin(), e->running.end(), self));
        }
        e->idle.notify_all();
    }
}

void onDevice(Orvo::Midi* service, Orvo::MidiDevice* device, void*)
{
    forEachModel([&](MixerModel* m) { MixerModel::deviceChangeCallback(service, device, m); });
}

void onSysEx(Orvo::Midi* service, Orvo::MidiPortPair* pair, uint32_t idWord, const uint8_t* data, int length, void*)
{
    forEachModel([&](MixerModel* m) { MixerModel::sysexCallback(service, pair, idWord, data, length, m); });
}

void onMessage(Orvo::Midi* service, Orvo::MidiPortPair* pair, uint8_t channel, int type, uint8_t data1, short data2,
               void*)
{
    forEachModel(
        [&](MixerModel* m) { MixerModel::channelMessageCallback(service, pair, channel, type, data1, data2, m); });
}

void onProgress(Orvo::Midi* service, Orvo::MidiDevice* device, uint8_t percent, int result, void*)
{
    forEachModel([&](MixerModel* m) { MixerModel::firmwareProgressCallback(service, device, percent, result, m); });
}

void registerWith(Orvo::Midi* service)
{
    service->AddDeviceListener(&onDevice, nullptr);
    service->AddSysExListener(&onSysEx, nullptr);
    service->AddMessageListener(&onMessage, nullptr);
    service->AddUpdateListener(&onProgress, nullptr);
}

void unregisterFrom(Orvo::Midi* service)
{
    service->RemoveDeviceListener(&onDevice);
    service->RemoveSysExListener(&onSysEx);
    service->RemoveMessageListener(&onMessage);
    service->RemoveUpdateListener(&onProgress);
}

} // namespace

std::shared_ptr<void> ModelListeners::attach(Orvo::Midi* service, MixerModel* model)
{
    auto entry = std::make_shared<Entry>(model);
    std::lock_guard lock(g_lock);
    g_entries.push_back(entry);
    // Adding is idempotent per function; a service made since the last
    // model went gets the functions anew.
    registerWith(service);
    g_service = service;
    return entry;
}

void ModelListeners::detach(std::shared_ptr<void>& handle)
{
    auto entry = std::static_pointer_cast<Entry>(handle);
    if (!entry)
        return;
    {
        std::lock_guard lock(g_lock);
        g_entries.erase(std::remove(g_entries.begin(), g_entries.end(), entry), g_entries.end());
        if (g_entries.empty()) {
            if (g_service != nullptr && g_service == Orvo::Midi::Instance())
                unregisterFrom(g_service);
            g_service = nullptr;
        }
    }
    const std::thread::id self = std::this_thread::get_id();
    QCoreApplication* app = QCoreApplication::instance();
    const bool onAppThread = app != nullptr && app->thread() == QThread::currentThread();
    std::unique_lock lock(entry->mutex);
    entry->removed = true;
    // A call on this very thread (the model deleted from inside one of its
    // own signals' slots) is further up this stack and cannot be waited for.
    auto othersRunning = [&] {
        return std::any_of(entry->running.begin(), entry->running.end(),
                           [&](std::thread::id t) { return t != self; });
    };
    while (othersRunning()) {
        if (onAppThread) {
            lock.unlock();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            lock.lock();
        }
        entry->idle.wait_for(lock, std::chrono::milliseconds(1));
    }
    lock.unlock();
    handle.reset();
}

size_t ModelListeners::liveModels()
{
    std::lock_guard lock(g_lock);
    return g_entries.size();
}

} // namespace orvo::model
