// The buffer-size side of MixerModel: the per-user registry values the ASIO
// driver reads, written when the user picks a size and polled every 300 ms so
// that both GUI programs follow each other.

#include "mixer/model/device_text.h"
#include "mixer/model/mixer_model.h"
#include "mixer/model/registry_settings.h"

#include <algorithm>

namespace {

const QString kBufferSizeValue = QStringLiteral("BufferSizeMillisecs");
const QString kGlobalBufferSize = QStringLiteral("Global/BufferSizeMillisecs");

// 0 stays "no value"; anything else is held to the range every program and
// the ASIO driver accept. The registry holds a DWORD; read as a signed
// number, a negative size is the smallest.
int bounded(int ms)
{
    return ms == 0 ? 0 : std::clamp(ms, MixerModel::kMinBufferSize, MixerModel::kMaxBufferSize);
}

int readSize(const QSettings& settings, const QString& key)
{
    return bounded(static_cast<int>(settings.value(key).toUInt()));
}

} // namespace

void MixerModel::setBufferSize(int ms)
{
    ms = std::clamp(ms, kMinBufferSize, kMaxBufferSize);
    if (ms == bufferSize_)
        return;
    bufferSize_ = ms;
    writeBufferSizeEverywhere(ms);
}

void MixerModel::writeBufferSizeEverywhere(int ms)
{
    orvo::model::RegistrySettings settings(orvo::model::kUserBufferSizePath);
    for (const QString& child : settings.childGroups())
        settings.setValue(child + '/' + kBufferSizeValue, ms);
}

void MixerModel::onSampleBufferTimer()
{
    if (deviceChanged_) {
        QString keyName;
        {
            std::lock_guard lock(currentLock_);
            if (const Orvo::MidiDevice* device = current_.load())
                keyName = orvo::model::deviceUserKeyName(device);
        }
        if (!keyName.isEmpty()) {
            registryPath_ = orvo::model::kUserBufferSizePath + '\\' + keyName;
            deviceChanged_ = false;
            orvo::model::RegistrySettings device(registryPath_);
            if (readSize(device, kBufferSizeValue) == 0) {
                bufferSize_ = 0;
                device.setValue(kBufferSizeValue, kDefaultBufferSize);
            }
        }
    }

    orvo::model::RegistrySettings settings(orvo::model::kUserBufferSizePath);
    const int global = readSize(settings, kGlobalBufferSize);
    if (global != 0) {
        if (global != bufferSize_) {
            setBufferSize(global);
            emit sampleBufferSizeChanged(bufferSize_);
        }
        return;
    }
    if (bufferSize_ != 0)
        return;
    int found = 0;
    for (const QString& child : settings.childGroups()) {
        found = readSize(settings, child + '/' + kBufferSizeValue);
        if (found != 0)
            break;
    }
    if (found == 0)
        found = kDefaultBufferSize;
    settings.setValue(kGlobalBufferSize, found);
    settings.sync();
    setBufferSize(found);
    emit sampleBufferSizeChanged(bufferSize_);
}
