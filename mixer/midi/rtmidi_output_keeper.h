#pragma once
// RtMidi outputs that are safe to let go of on JACK.
//
// RtMidi's JACK output frees its send queue before it closes its JACK
// client, and its port close neither proves that the running process cycle
// is done (it waits at most a second and ignores a time-out) nor stops a
// cycle that passed the port check just before it. A cycle held up there
// reads the freed queue. So letting go of a JACK output closes its port
// first and destroys the object only once the server has begun two cycles
// of a client opened after the close: the server starts a cycle only when
// every client has finished the one before, so no cycle that saw the port
// is still running. Without that proof (no server, no cycles in time) the
// output is kept, closed, for the rest of the process; its cycles then find
// no port and read nothing. Other back ends stop their threads before
// freeing and are destroyed as usual.

#include <rtmidi/RtMidi.h>

#include <memory>
#include <string>

namespace Orvo {

struct RtMidiOutRelease {
    void operator()(RtMidiOut* out) const;
};

using KeptRtMidiOut = std::unique_ptr<RtMidiOut, RtMidiOutRelease>;

// An output on `api`, as RtMidiOut's constructor makes it (it may throw).
KeptRtMidiOut makeKeptRtMidiOut(RtMidi::Api api, const std::string& clientName);

// JACK outputs kept because their cycles could not be seen to end.
unsigned long keptRtMidiOutputs();

} // namespace Orvo
