#include "mixer/midi/port_scan.h"

#include "mixer/midi/port_pairing.h"
#include "mixer/midi/port_probe.h"

namespace Orvo {

namespace {

constexpr unsigned kScanQueries = 10;

bool allowed(const MidiPortPair& p)
{
    return isPortPairAllowed(p.inputName, p.outputName);
}

} // namespace

bool probePortPair(PortScanHost& host, const DeviceDirectory& devices, MidiPortPair* pair, unsigned count)
{
    host.closePortPair();
    bool changed = false;
    if (host.openPortPair(pair))
        changed = runProbe(
            count, [&] { host.sendQuery(); }, [&] { return devices.deviceCount(); });
    host.closePortPair();
    return changed;
}

bool rescanPorts(PortScanHost& host, PortPairList& pairs, DeviceDirectory& devices)
{
    if (!host.havePortObjects())
        return false;
    const bool ownProtocol = host.ownProtocol();
    MidiPortPair* const wasOpen = host.openPair();
    MidiDevice* const deviceOnOpen = devices.deviceOnPortPair(wasOpen);
    host.closePortPair();

    std::vector<std::string> inputs, outputs;
    for (unsigned i = 0, n = host.inputCount(); i < n; ++i)
        inputs.push_back(host.inputName(i));
    for (unsigned k = 0, n = host.outputCount(); k < n; ++k)
        outputs.push_back(host.outputName(k));
    PortPairList::Pairs fresh;
    for (const PortPairing& p : pairPorts(inputs, outputs))
        fresh.push_back(std::make_unique<MidiPortPair>(MidiPortPair{p.input, inputs[p.input], p.output, outputs[p.output]}));
    const bool found = !fresh.empty();

    // Pairs put aside stay allocated to the end, so no new pair can take the
    // address of the formerly open one while it is compared below.
    PortPairList::Pairs aside;
    if (pairs.differsFrom(fresh)) {
        aside = pairs.replace(std::move(fresh));
        devices.beginProbing();
        host.setOwnProtocol(true);
        for (size_t i = 0;; ++i) {
            MidiPortPair* pair = pairs.at(i);
            if (pair == nullptr)
                break;
            if (allowed(*pair))
                probePortPair(host, devices, pair, kScanQueries);
        }
        devices.pruneDevices();
        host.setOwnProtocol(ownProtocol);
    } else {
        host.setOwnProtocol(true);
        for (size_t i = 0; i < pairs.count(); ++i) {
            MidiPortPair* pair = pairs.at(i);
            if (pair != nullptr && devices.deviceOnPortPair(pair) == nullptr && allowed(*pair))
                probePortPair(host, devices, pair, kScanQueries);
        }
        host.setOwnProtocol(ownProtocol);
    }

    host.closePortPair();
    if (deviceOnOpen != nullptr && devices.indexOfDevice(deviceOnOpen) >= 0)
        host.openPortPair(deviceOnOpen->portPair);
    else if (wasOpen != nullptr)
        host.openPortPair(wasOpen); // succeeds only while it is still listed
    return found;
}

} // namespace Orvo
