#pragma once
// The device service keys its listeners by function, so a second model that
// registered the same functions would take the first one's place. One set of
// functions is registered for every model instead, and each call is handed
// to each live model here, with the model's calls in flight counted so that
// a model can wait for them before it goes.

#include <cstddef>
#include <memory>

class MixerModel;

namespace Orvo {
class Midi;
}

namespace orvo::model {

class ModelListeners {
public:
    // Starts handing the service's calls to `model`; the result is its entry.
    static std::shared_ptr<void> attach(Orvo::Midi* service, MixerModel* model);
    // No new call reaches the entry's model once this returns, and every call
    // already running has ended. Queued calls to this thread are delivered
    // meanwhile, so a call blocked on a blocking-queued signal to the waiting
    // thread can end.
    static void detach(std::shared_ptr<void>& entry);
    static size_t liveModels();
};

} // namespace orvo::model
