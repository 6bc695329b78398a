#include "sim/mixer/profile.h"

#include <algorithm>

namespace sim::mixer {

bool RateRange::contains(uint32_t rate) const {
    if (rate < min || rate > max)
        return false;
    // A zero resolution on a continuous range leaves no step to keep to.
    return res == 0 || (rate - min) % res == 0;
}

bool Profile::supportsRate(uint32_t rate) const {
    return std::any_of(rates.begin(), rates.end(), [rate](const RateRange& r) { return r.contains(rate); });
}

uint32_t Profile::highestRate() const {
    uint32_t top = initialRate;
    for (const RateRange& r : rates)
        top = std::max(top, r.max);
    return top;
}

std::vector<std::u16string> numberedNames(std::u16string_view prefix, uint32_t count) {
    std::vector<std::u16string> names;
    names.reserve(count);
    for (uint32_t i = 1; i <= count; ++i) {
        std::u16string name(prefix);
        name += u' ';
        for (char c : std::to_string(i))
            name += static_cast<char16_t>(c);
        names.push_back(std::move(name));
    }
    return names;
}

std::vector<RateRange> standardRates() {
    std::vector<RateRange> rates;
    for (uint32_t r : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u})
        rates.push_back({r, r, 0});
    return rates;
}

namespace {

std::vector<RateRange> discrete(std::initializer_list<uint32_t> list) {
    std::vector<RateRange> rates;
    for (uint32_t r : list)
        rates.push_back({r, r, 0});
    return rates;
}

// Left/right pairs: "<prefix> L", "<prefix> R".
void addPair(std::vector<std::u16string>& names, std::u16string_view prefix) {
    names.push_back(std::u16string(prefix) + u" L");
    names.push_back(std::u16string(prefix) + u" R");
}

Profile testProfile(std::string key, uint32_t recordChannels, uint32_t playbackChannels) {
    Profile p;
    p.key = std::move(key);
    p.product = u"Orvo Test Mixer";
    p.record.channelNames = numberedNames(u"In", recordChannels);
    p.playback.channelNames = numberedNames(u"Out", playbackChannels);
    p.rates = standardRates();
    return p;
}

} // namespace

namespace profiles {

Profile qx1600() {
    Profile p;
    p.key = "qx1600";
    p.productId = kProductQx1600;
    p.product = u"Orvo QX1600";
    for (auto ch : {u"Ch 1", u"Ch 2", u"Ch 3", u"Ch 4"})
        addPair(p.record.channelNames, ch);
    addPair(p.record.channelNames, u"Master");
    addPair(p.record.channelNames, u"Booth");
    addPair(p.record.channelNames, u"Mic");
    addPair(p.record.channelNames, u"Aux");
    for (auto deck : {u"Deck 1", u"Deck 2", u"Deck 3", u"Deck 4", u"Deck 5", u"Deck 6"})
        addPair(p.playback.channelNames, deck);
    addPair(p.playback.channelNames, u"Sampler");
    addPair(p.playback.channelNames, u"Cue");
    p.rates = standardRates();
    return p;
}

Profile zr90Alpha() {
    Profile p;
    p.key = "zr90alpha";
    p.productId = kProductZr90Alpha;
    p.bcdDevice = 0x0105;
    p.product = u"Orvo ZR90 Alpha";
    for (auto ch : {u"Ch 1", u"Ch 2", u"Ch 3"})
        addPair(p.record.channelNames, ch);
    addPair(p.record.channelNames, u"Master");
    addPair(p.record.channelNames, u"Mic");
    for (auto deck : {u"Deck 1", u"Deck 2", u"Deck 3"})
        addPair(p.playback.channelNames, deck);
    addPair(p.playback.channelNames, u"Cue");
    p.rates = discrete({44100, 48000, 88200, 96000});
    return p;
}

Profile asymmetric() { return testProfile("asymmetric", 6, 2); }

Profile maxChannels() { return testProfile("max-channels", 20, 20); }

Profile floatFormat() {
    Profile p = testProfile("float", 4, 4);
    p.record.floatSamples = true;
    p.playback.floatSamples = true;
    return p;
}

Profile manySubranges() {
    Profile p = testProfile("many-subranges", 2, 2);
    p.rates = discrete({8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000,
                        128000, 176400, 192000, 256000, 352800, 384000, 705600, 768000});
    return p;
}

Profile continuousRange() {
    Profile p = testProfile("continuous", 2, 2);
    p.rates = {{44100, 44100, 0}, {48000, 96000, 1}, {96000, 96000, 0}};
    return p;
}

Profile highRates() {
    Profile p = testProfile("high-rates", 2, 2);
    p.rates = discrete({44100, 48000, 96000, 192000, 352800, 384000});
    return p;
}

Profile tooManyChannels() { return testProfile("too-many-channels", 64, 64); }

Profile nameOverflow() {
    Profile p = testProfile("name-overflow", 24, 24);
    // 126 characters is the longest a string descriptor can carry.
    auto longNames = [](std::vector<std::u16string>& names) {
        for (auto& n : names)
            n.resize(126, u'x');
    };
    longNames(p.record.channelNames);
    longNames(p.playback.channelNames);
    return p;
}

Profile oversizePackets() {
    Profile p = testProfile("oversize-packets", 240, 240);
    p.rates = discrete({48000});
    return p;
}

std::vector<Profile> all() {
    return {qx1600(),          zr90Alpha(),       asymmetric(),  maxChannels(),
            floatFormat(),     manySubranges(),   continuousRange(), highRates(),
            tooManyChannels(), nameOverflow(),    oversizePackets()};
}

} // namespace profiles

} // namespace sim::mixer
