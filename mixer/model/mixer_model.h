#pragma once
// MixerModel: the one QObject through which a GUI program sees the mixers.
// It listens to the device service, keeps the device the user selected (the
// current device), reads its settings, sends parameter and channel changes,
// updates its firmware from the embedded image, and keeps the ASIO buffer
// size in the per-user registry in step with the other GUI program.
//
// Threads: addDevice/removeDevice come on the service's device-event thread,
// channelValueRecieved/cpValueRecieved and the end-of-read setBusy(false) on
// its service thread; everything else on the GUI thread. A device listener
// must let go of a removed record before its slot returns: the service
// deletes the record right after its listeners have run. The model itself
// drops the removed current device before that.
//
// Each model has listeners of its own (two models in one process do not see
// each other's calls), and its destructor returns only when none of its
// calls is running any more.

#include "mixer/midi/midi_device.h"
#include "mixer/midi/obin_file_buffer.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Orvo {
class Midi;
}

using orvo_device_ptr_t = Orvo::MidiDevice*;
Q_DECLARE_METATYPE(orvo_device_ptr_t)

namespace orvo::model {

// Shows the model's failure messages (the update's). The default shows a
// modal warning box without parent and title; tests inject their own.
class MessagePresenter {
public:
    virtual ~MessagePresenter() = default;
    virtual void showWarning(const QString& text, const QString& informativeText) = 0;
};

// The default: a modal warning box without parent and title.
MessagePresenter& warningBox();

// The one call that ends the device service: the programs make it after
// their event loop, once their models are gone. False (and nothing done)
// while a model still exists.
bool shutdownDeviceService();

} // namespace orvo::model

class MixerModel : public QObject {
    Q_OBJECT
public:
    static constexpr uint32_t kFirstModelUsbId = 0x3A710018;  // QX1600
    static constexpr uint32_t kSecondModelUsbId = 0x3A710019; // ZR90Alpha
    static constexpr int kDefaultBufferSize = 8;
    static constexpr int kMinBufferSize = 1;
    static constexpr int kMaxBufferSize = 50;
    static constexpr int kBufferPollMs = 300;

    // What a program uses of the model. A program that only keeps the
    // buffer size (the buffer-size program) builds no device service: it
    // opens no MIDI port and never probes the mixers' ports while the control
    // panel uses them. Device operations of such a model do nothing.
    enum class Devices { Used, Unused };

    explicit MixerModel(QObject* parent = nullptr, Devices devices = Devices::Used);
    ~MixerModel() override;

    void start();
    bool isReading() const { return reading_.load(); }
    // The main window clears the reading flag when its busy timer expires.
    void setReading(bool on) { reading_ = on; }
    bool isUpdating() const { return updating_.load(); }
    bool isSuppressing() const;
    orvo_device_ptr_t currentDevice() const;
    // Inside a channelValueRecieved or cpValueRecieved slot: the device the
    // value came from. A report checked before the current device changed
    // can still be on its way to the slot; the slot compares this with the
    // device it shows and drops another's. Null outside a delivery.
    orvo_device_ptr_t reportingDevice() const { return reporting_.load(); }
    void setCurrentDevice(orvo_device_ptr_t device);

    bool setParameter(int channel, int key, int value);
    bool sendParameter(int channel, int key, int value);
    bool setMidiChannel(int channel);
    void sendMidiChannel(int channel);

    void deviceFirmwareVersion(QString& text, int& number) const;
    void imageFirmwareVersion(QString& text, int& number) const;
    void updateFirmware();

    void setBufferSize(int ms);
    int bufferSize() const { return bufferSize_; }

    // Null: the default modal box.
    void setMessagePresenter(orvo::model::MessagePresenter* presenter) { presenter_ = presenter; }
    const Orvo::OBinFileBuffer& image() const { return image_; }

Q_SIGNALS:
    void addDevice(orvo_device_ptr_t device);
    void removeDevice(orvo_device_ptr_t device);
    void channelValueRecieved(int value);
    void cpValueRecieved(int parameterKey, int value);
    void firmwareProgress(int firmwareProgress);
    void setBusy(bool busy);
    void sampleBufferSizeChanged(int bufferSize);

public Q_SLOTS:
    void onSampleBufferTimer();

public:
    // Listener callbacks (run on the service's threads; user data: the model).
    static void deviceChangeCallback(Orvo::Midi* service, Orvo::MidiDevice* device, void* userData);
    static void sysexCallback(Orvo::Midi* service, Orvo::MidiPortPair* pair, uint32_t idWord,
                              const uint8_t* data, int length, void* userData);
    static void channelMessageCallback(Orvo::Midi* service, Orvo::MidiPortPair* pair, uint8_t channel, int type,
                                       uint8_t data1, short data2, void* userData);
    static void firmwareProgressCallback(Orvo::Midi* service, Orvo::MidiDevice* device, uint8_t percent,
                                         int result, void* userData);

private:
    void readDeviceSettings();
    // The current device's port pair (null without one), read under the
    // current-device lock so that the record cannot go meanwhile.
    Orvo::MidiPortPair* currentPair() const;
    // Emits a value the mixer reported with changes refused meanwhile.
    template <class F> void deliverReported(Orvo::MidiDevice* from, F&& emitSignal);
    // Runs `work` (which waits for the service's threads) on a thread of its
    // own while this thread serves every event but user input. Directly when
    // this is not the application's thread.
    void serveWhile(const std::function<void()>& work);
    void showWarning(const QString& text, const QString& informativeText);
    void emitLatestProgress();
    // Registry side of the buffer size.
    void writeBufferSizeEverywhere(int ms);

    Orvo::Midi* service_; // null: Devices::Unused
    // The current device and every read of its record from a listener are
    // under currentLock_; the removal listener replaces it under the lock.
    mutable std::mutex currentLock_;
    std::atomic<Orvo::MidiDevice*> current_{nullptr};
    std::atomic<bool> reading_{false};
    std::atomic<int> delivering_{0}; // reported values being delivered
    std::atomic<Orvo::MidiDevice*> reporting_{nullptr};
    std::atomic<bool> updating_{false};
    int bufferSize_ = 0;
    Orvo::OBinFileBuffer image_;
    uint8_t channelMessage_[2] = {0x0B, 0};
    bool deviceChanged_ = false;
    QTimer bufferTimer_;
    QString registryPath_;
    orvo::model::MessagePresenter* presenter_ = nullptr;
    std::atomic<std::thread::id> updateThread_{};
    std::atomic<int> latestProgress_{0};
    std::atomic<bool> progressPosted_{false};
    bool emittingProgress_ = false; // GUI thread
    std::shared_ptr<void> listeners_; // this model's entry with the service's listeners
};
