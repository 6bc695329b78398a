#include "mixer/model/mixer_model.h"

#include "mixer/midi/embedded_image.h"
#include "mixer/midi/midi_framing.h"
#include "mixer/midi/midi_service.h"
#include "mixer/midi/mixer_protocol.h"
#include "mixer/model/device_text.h"
#include "mixer/model/model_listeners.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <QMessageBox>

using Orvo::Midi;
using Orvo::MidiDevice;
using Orvo::MidiPortPair;

namespace orvo::model {

namespace {
class BoxPresenter final : public MessagePresenter {
public:
    void showWarning(const QString& text, const QString& informativeText) override
    {
        QMessageBox box;
        box.setWindowTitle(QString());
        box.setIcon(QMessageBox::Warning);
        box.setText(text);
        box.setInformativeText(informativeText);
        box.exec();
    }
};
} // namespace

MessagePresenter& warningBox()
{
    static BoxPresenter box;
    return box;
}

bool shutdownDeviceService()
{
    if (ModelListeners::liveModels() != 0)
        return false;
    Midi::DestroyInstance();
    return true;
}

} // namespace orvo::model

MixerModel::MixerModel(QObject* parent, Devices devices)
    : QObject(parent), service_(devices == Devices::Used ? Midi::GetInstance() : nullptr)
{
    qRegisterMetaType<orvo_device_ptr_t>("orvo_device_ptr_t");
    connect(&bufferTimer_, &QTimer::timeout, this, &MixerModel::onSampleBufferTimer);
    bufferTimer_.start(kBufferPollMs);
    if (service_ == nullptr)
        return;
    // A failed load leaves no regions: an update then finds no firmware.
    Orvo::loadEmbeddedImage(image_);
    listeners_ = orvo::model::ModelListeners::attach(service_, this);
}

MixerModel::~MixerModel()
{
    bufferTimer_.stop();
    orvo::model::ModelListeners::detach(listeners_);
}

void MixerModel::start()
{
    if (service_ != nullptr)
        service_->RequestRescan(false);
}

bool MixerModel::isSuppressing() const { return delivering_.load() > 0 || updating_.load(); }

orvo_device_ptr_t MixerModel::currentDevice() const { return current_.load(); }

MidiPortPair* MixerModel::currentPair() const
{
    std::lock_guard lock(currentLock_);
    const MidiDevice* device = current_.load();
    return device ? device->portPair.load() : nullptr;
}

void MixerModel::setCurrentDevice(orvo_device_ptr_t device)
{
    if (service_ == nullptr)
        return;
    {
        std::lock_guard lock(currentLock_);
        if (device != current_.load()) {
            bufferSize_ = 0;
            deviceChanged_ = true;
        }
        current_ = device;
    }
    if (device != nullptr && !updating_.load())
        readDeviceSettings();
}

void MixerModel::readDeviceSettings()
{
    MidiPortPair* pair;
    {
        std::lock_guard lock(currentLock_);
        const MidiDevice* device = current_.load();
        if (device == nullptr || device->state.load() != Orvo::kDeviceApplication)
            return;
        pair = device->portPair.load();
    }
    emit setBusy(true);
    reading_ = true;
    serveWhile([&] {
        service_->OpenDevice(pair);
        const uint8_t ask = static_cast<uint8_t>(Orvo::MixerSysExCommand::AskChannel);
        service_->SendSysEx(pair, Orvo::kMixerSysExId, &ask, 1);
    });
}

bool MixerModel::setParameter(int channel, int key, int value)
{
    if (isSuppressing() || current_.load() == nullptr)
        return false;
    sendParameter(channel, key, value);
    return true;
}

bool MixerModel::sendParameter(int channel, int key, int value)
{
    MidiPortPair* pair = currentPair();
    if (pair == nullptr)
        return false;
    return service_->SendControlChange(pair, static_cast<uint8_t>(channel), static_cast<uint8_t>(key),
                                       static_cast<uint8_t>(value & 0xFF));
}

bool MixerModel::setMidiChannel(int channel)
{
    if (isSuppressing() || current_.load() == nullptr)
        return false;
    sendMidiChannel(channel);
    return true;
}

void MixerModel::sendMidiChannel(int channel)
{
    MidiPortPair* pair = currentPair();
    if (pair == nullptr)
        return;
    channelMessage_[0] = static_cast<uint8_t>(Orvo::MixerSysExCommand::SetChannel);
    channelMessage_[1] = static_cast<uint8_t>(channel);
    service_->SendSysEx(pair, Orvo::kMixerSysExId, channelMessage_, 2);
}

void MixerModel::deviceFirmwareVersion(QString& text, int& number) const
{
    std::lock_guard lock(currentLock_);
    const MidiDevice* device = current_.load();
    text = orvo::model::deviceFirmwareVersionText(device);
    number = static_cast<int>(orvo::model::deviceFirmwareVersionNumber(device));
}

void MixerModel::imageFirmwareVersion(QString& text, int& number) const
{
    const Orvo::ObinRegion* region = nullptr;
    {
        std::lock_guard lock(currentLock_);
        if (const MidiDevice* device = current_.load())
            region = image_.FindRegion(device->descriptor.usbId(), device->descriptor.regionNumber());
    }
    text = orvo::model::regionVersionText(region);
    number = static_cast<int>(orvo::model::regionVersionNumber(region));
}

void MixerModel::showWarning(const QString& text, const QString& informativeText)
{
    if (presenter_ != nullptr) {
        presenter_->showWarning(text, informativeText);
        return;
    }
    orvo::model::warningBox().showWarning(text, informativeText);
}

void MixerModel::updateFirmware()
{
    if (updating_.load())
        return; // one update at a time: a second would wait for the first's locks inside it
    MidiDevice* device;
    const Orvo::ObinRegion* region;
    {
        std::lock_guard lock(currentLock_);
        device = current_.load();
        if (device == nullptr)
            return; // the window offers an update only for a current device
        region = image_.FindRegion(device->descriptor.usbId(), device->descriptor.regionNumber());
    }
    updating_ = true;
    emit setBusy(true);
    if (region == nullptr) {
        emit setBusy(false);
        updating_ = false;
        showWarning(QStringLiteral("Firmware file not found"),
                    QStringLiteral("A firmware file of the correct type was not found for this device."));
        return;
    }
    latestProgress_ = 0;
    emit firmwareProgress(0);
    // Progress comes on the update's thread and is re-emitted here, where
    // the window's direct slot expects it.
    int result = -1;
    serveWhile([&] {
        updateThread_ = std::this_thread::get_id();
        result = service_->UpdateFirmware(device, image_, false);
        updateThread_ = std::thread::id();
    });
    emit setBusy(false);
    updating_ = false;
    if (result != 0)
        showWarning(QStringLiteral("Firmware update failed"),
                    QString::asprintf("An error occured and the firmware update process was stopped. Power the "
                                      "device off, then back on to return to the previous version. \n\nError "
                                      "code: 0x%02x",
                                      static_cast<unsigned>(result)));
}

// Device reports and reported values reach the GUI through the window's
// blocking-queued connections, so a service thread may be waiting for this
// thread. Whatever here waits for the service's threads (switching the open
// pair drains what came in on the old one; the update needs every exchange)
// runs on a thread of its own while this thread goes on serving its events,
// as a modal operation would: the window keeps painting, user input waits
// (the busy report keeps the user out meanwhile).
void MixerModel::serveWhile(const std::function<void()>& work)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || app->thread() != QThread::currentThread()) {
        work();
        return;
    }
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
}

template <class F>
void MixerModel::deliverReported(MidiDevice* from, F&& emitSignal)
{
    // A count, not a flag: the end of one delivery must not lift the
    // suppression of another, nor the update's.
    ++delivering_;
    reporting_ = from;
    emitSignal();
    reporting_ = nullptr;
    --delivering_;
}

void MixerModel::deviceChangeCallback(Midi*, MidiDevice* device, void* userData)
{
    auto* self = static_cast<MixerModel*>(userData);
    if (device == nullptr)
        return;
    const uint32_t usbId = device->descriptor.usbId();
    if (usbId != kFirstModelUsbId && usbId != kSecondModelUsbId)
        return;
    const bool removed = device->state.load() == Orvo::kDeviceRemoved;
    if (removed)
        emit self->removeDevice(device);
    else
        emit self->addDevice(device);
    if (!removed)
        return;
    // The service deletes the record once this returns.
    std::lock_guard lock(self->currentLock_);
    if (self->current_.load() == device) {
        self->current_ = nullptr;
        self->reading_ = false;
    }
}

void MixerModel::sysexCallback(Midi* service, MidiPortPair* pair, uint32_t idWord, const uint8_t* data, int length,
                               void* userData)
{
    auto* self = static_cast<MixerModel*>(userData);
    if (idWord != Orvo::kMixerSysExId || data == nullptr || length < 1 || pair == nullptr)
        return;
    MidiDevice* from;
    {
        std::lock_guard lock(self->currentLock_);
        from = self->current_.load();
        if (from == nullptr || from->portPair.load() != pair)
            return;
    }
    switch (static_cast<Orvo::MixerSysExCommand>(data[0])) {
    case Orvo::MixerSysExCommand::Channel: {
        if (length < 2)
            return; // no channel byte
        const int channel = data[1];
        self->deliverReported(from, [&] { emit self->channelValueRecieved(channel); });
        // Only on the pair still open: opening another would wait for the
        // selection lock on the thread that every exchange needs.
        if (self->reading_.load() && service->OpenPair() == pair) {
            const uint8_t ask = static_cast<uint8_t>(Orvo::MixerSysExCommand::AskValues);
            service->SendSysEx(pair, Orvo::kMixerSysExId, &ask, 1);
        }
        break;
    }
    case Orvo::MixerSysExCommand::ValuesEnd:
        // The idle report is on its way before the read shows as ended.
        emit self->setBusy(false);
        self->reading_ = false;
        break;
    default:
        break;
    }
}

void MixerModel::channelMessageCallback(Midi*, MidiPortPair* pair, uint8_t channel, int type, uint8_t data1,
                                        short data2, void* userData)
{
    auto* self = static_cast<MixerModel*>(userData);
    if (type != MIDI_CONTROL_CHANGE)
        return;
    MidiDevice* from;
    {
        // A value that came on another pair is another mixer's: one still
        // arriving from the previous selection while the new one's pair opens.
        std::lock_guard lock(self->currentLock_);
        from = self->current_.load();
        if (from == nullptr || from->portPair.load() != pair)
            return;
        const uint32_t usbId = from->descriptor.usbId();
        if (usbId != kFirstModelUsbId && !(usbId == kSecondModelUsbId && channel == 15))
            return;
    }
    self->deliverReported(from, [&] { emit self->cpValueRecieved(data1, data2); });
}

void MixerModel::firmwareProgressCallback(Midi*, MidiDevice*, uint8_t percent, int, void* userData)
{
    auto* self = static_cast<MixerModel*>(userData);
    // Another model's update is not this model's progress.
    if (self->updateThread_.load() != std::this_thread::get_id())
        return;
    self->latestProgress_ = percent;
    if (!self->progressPosted_.exchange(true))
        QMetaObject::invokeMethod(self, [self] { self->emitLatestProgress(); }, Qt::QueuedConnection);
}

// The window's progress slot serves events, so a progress report could be
// delivered inside the slot of an earlier one and reach later slots first.
// One report is posted at a time and carries the latest percentage; one
// reported inside another's slots is emitted when those return.
void MixerModel::emitLatestProgress()
{
    progressPosted_ = false;
    if (emittingProgress_)
        return;
    emittingProgress_ = true;
    for (int shown = -1, latest; (latest = latestProgress_.load()) != shown;) {
        shown = latest;
        emit firmwareProgress(latest);
    }
    emittingProgress_ = false;
}
