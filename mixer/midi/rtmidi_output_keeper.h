#pragma once
// RtMidi outputs that are safe to let go of on JACK.
//
// RtMidi's JACK output frees its send queue before it closes its JACK
// client, and its port close neither proves that the running process cycle
// is done (it waits at most a second and ignores a time-out) nor stops a
// cycle that passed the port check just before it. A cycle held up there
// reads the freed queue. So letting go of a JACK output closes its port
// first and destroys the object only once a client opened after the close
// has begun two process cycles. A synchronous server (the tests' one) begins
// a cycle only after every client has finished the one before, unless a
// client overruns the server's time-out: then no cycle that saw the port is
// still running. Without that sign (no server, no cycles within 2 s) the
// output is kept, closed, for the rest of the process; its cycles then find
// no port and read nothing. An asynchronous server does not wait for its
// clients, so there the two cycles narrow the window to a cycle held up for
// two periods and more. Other back ends stop their threads before
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
