#include "tools/obin_description.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

namespace Orvo::tools {

namespace {

bool number(const std::string& s, uint64_t& out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool number32(const std::string& s, uint32_t& out)
{
    uint64_t v;
    if (!number(s, v) || v > 0xFFFFFFFFu)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool version(const std::string& s, uint32_t& out)
{
    uint32_t parts[4] = {0, 0, 0, 0};
    std::stringstream in(s);
    std::string part;
    int i = 0;
    while (std::getline(in, part, '.')) {
        if (i == 4 || !number32(part, parts[i]) || parts[i] > 255)
            return false;
        ++i;
    }
    if (i != 4)
        return false;
    out = versionWord(parts[0], parts[1], parts[2], parts[3]);
    return true;
}

bool hexBytes(const std::string& s, std::vector<uint8_t>& out)
{
    if (s.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        uint64_t v;
        if (!number("0x" + s.substr(i, 2), v))
            return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// Splits `key=value key="quoted value"` pairs after the directive word.
bool tokens(const std::string& line, std::string& word, std::map<std::string, std::string>& kv)
{
    size_t i = 0;
    auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
    };
    skip();
    while (i < line.size() && line[i] != ' ' && line[i] != '\t')
        word += line[i++];
    for (skip(); i < line.size(); skip()) {
        std::string key;
        while (i < line.size() && line[i] != '=' && line[i] != ' ')
            key += line[i++];
        if (i >= line.size() || line[i] != '=')
            return false;
        ++i;
        std::string value;
        if (i < line.size() && line[i] == '"') {
            ++i;
            while (i < line.size() && line[i] != '"')
                value += line[i++];
            if (i >= line.size())
                return false;
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                value += line[i++];
        }
        kv[key] = value;
    }
    return true;
}

} // namespace

bool parseDescription(const std::string& text, ImageSpec& spec, std::string& error)
{
    // Join continuation lines first, remembering where each directive began.
    std::vector<std::pair<int, std::string>> directives;
    std::stringstream in(text);
    std::string line;
    for (int no = 1; std::getline(in, line); ++no) {
        if (const size_t hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if ((line[0] == ' ' || line[0] == '\t') && !directives.empty())
            directives.back().second += " " + line;
        else
            directives.emplace_back(no, line);
    }
    for (auto& [no, d] : directives) {
        if (!d.empty() && d.back() == '\r')
            d.pop_back();
        std::string word;
        std::map<std::string, std::string> kv;
        const auto fail = [&, n = no](const std::string& why) {
            error = "line " + std::to_string(n) + ": " + why;
            return false;
        };
        if (!tokens(d, word, kv))
            return fail("cannot read the fields");
        auto get32 = [&](const char* key, uint32_t& out, bool required) {
            auto it = kv.find(key);
            if (it == kv.end())
                return !required;
            return number32(it->second, out);
        };
        if (word == "block") {
            BlockSpec b;
            if (!get32("peripheral", b.peripheral, true) || !get32("region", b.region, true) ||
                !get32("base", b.base, true) || !get32("size", b.size, true) || !get32("pad", b.padding, false))
                return fail("block needs peripheral, region, base and size");
            if (!kv.count("version") || !version(kv["version"], b.version))
                return fail("block needs version=major.minor.patch.build");
            if (kv.count("crc")) {
                uint32_t crc;
                if (!number32(kv["crc"], crc))
                    return fail("bad crc");
                b.regionCrc = crc;
            }
            b.text = kv["text"];
            if (kv.count("order") && kv["order"] != "host" && kv["order"] != "other")
                return fail("order is host or other");
            b.otherOrder = kv["order"] == "other";
            spec.blocks.push_back(b);
        } else if (word == "entry") {
            if (spec.blocks.empty())
                return fail("entry before any block");
            EntrySpec e;
            if (!get32("address", e.address, true))
                return fail("entry needs an address");
            if (kv.count("hex")) {
                if (!hexBytes(kv["hex"], e.data))
                    return fail("bad hex data");
            } else {
                uint32_t length, seed = 0;
                if (!get32("synthetic", length, true) || !get32("seed", seed, false))
                    return fail("entry needs hex= or synthetic=");
                e.data = syntheticData(length, seed, kv["banner"]);
            }
            spec.blocks.back().entries.push_back(std::move(e));
        } else if (word == "image") {
            uint64_t padTo;
            if (!kv.count("pad-to") || !number(kv["pad-to"], padTo))
                return fail("image needs pad-to");
            spec.padTo = static_cast<size_t>(padTo);
        } else {
            return fail("unknown directive '" + word + "'");
        }
    }
    return true;
}

bool parseFault(const std::string& text, Fault& f)
{
    static const std::map<std::string, Fault::Kind> kinds = {
        {"flip", Fault::Kind::FlipDataByte},        {"crc", Fault::Kind::EntryCrc},
        {"magic", Fault::Kind::Magic},              {"length", Fault::Kind::BlockLength},
        {"count", Fault::Kind::EntryCount},         {"offset", Fault::Kind::EntryDataOffset},
        {"datalength", Fault::Kind::EntryLength},   {"trailing", Fault::Kind::Trailing},
        {"truncate", Fault::Kind::Truncate},
    };
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string p; std::getline(in, p, ':');)
        parts.push_back(p);
    if (parts.size() != 4 || !kinds.count(parts[0]))
        return false;
    uint64_t block, entry;
    f.kind = kinds.at(parts[0]);
    if (!number(parts[1], block) || !number(parts[2], entry) || !number32(parts[3], f.value))
        return false;
    f.block = static_cast<size_t>(block);
    f.entry = static_cast<size_t>(entry);
    return true;
}

} // namespace Orvo::tools
