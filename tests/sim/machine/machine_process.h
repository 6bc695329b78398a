#pragma once
// orvo-machine in a child process with a folder of its own (socket,
// registry, drives), and client programs beside it.

#include "tests/sim/mixer/child_process.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace orvo::test {

class MachineProcess {
public:
    struct State {
        size_t processes = 0, connections = 0, fds = 0, memfds = 0;
        uint32_t clients = 0, owner = 0;
        size_t mappings = 0;
        bool operator==(const State&) const = default;
    };

    MachineProcess()
    {
        char pattern[] = "/tmp/orvo-machine-XXXXXX";
        root_ = mkdtemp(pattern);
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            MACHINE_PROGRAM, "--socket", root_ + "/socket", "--registry-root", root_ + "/registry", "--drive-root",
            root_ + "/drives"});
        ready_ = !lineStarting("machine: ready", 10000).empty();
    }
    ~MachineProcess()
    {
        process_->send("quit");
        process_->wait();
        std::filesystem::remove_all(root_);
    }

    bool ready() const { return ready_; }
    std::string socketPath() const { return root_ + "/socket"; }

    // The ASIO driver's debug log on for clients started from now on: the
    // flag file and the log folder on their "c:\".
    void enableDebugLog()
    {
        std::filesystem::create_directories(logFolder());
        std::ofstream(root_ + "/drives/c/temp/OrvoEnableDebugLog.flag").put('\n');
    }
    // Every log file the clients' threads have written so far, by name (one a thread).
    std::map<std::string, std::string> debugLogs() const
    {
        std::map<std::string, std::string> logs;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(logFolder(), ec), end; !ec && it != end; it.increment(ec)) {
            std::ifstream in(it->path());
            std::stringstream text;
            text << in.rdbuf();
            logs[it->path().filename().string()] = text.str();
        }
        return logs;
    }

    // Plugs a mixer in; its interface class in brace form ("" when it did not start).
    std::string plug(const std::string& model = "qx1600")
    {
        process_->send("plug " + model);
        const std::string line = lineStarting("plugged ", 10000);
        const size_t at = line.find("interface=");
        return at == std::string::npos ? "" : line.substr(at + 10);
    }

    // What the mixer on `port` played while a capture ran: `channels`
    // samples a frame.
    struct Played {
        uint32_t channels = 0;
        std::vector<uint32_t> samples;
        uint64_t frames() const { return channels ? samples.size() / channels : 0; }
        uint32_t at(uint64_t frame, uint32_t channel) const { return samples[frame * channels + channel]; }
    };
    bool capture(uint32_t port, uint64_t frames)
    {
        process_->send("capture " + std::to_string(port) + " " + std::to_string(frames));
        return !lineStarting("capturing port=" + std::to_string(port), 10000).empty();
    }
    Played played(uint32_t port)
    {
        const std::string file = root_ + "/played";
        process_->send("played " + std::to_string(port) + " " + file);
        Played p;
        const std::string line = lineStarting("played port=" + std::to_string(port), 20000);
        const size_t at = line.find("channels=");
        if (at == std::string::npos || line.find("file=" + file) == std::string::npos)
            return p;
        p.channels = static_cast<uint32_t>(std::stoul(line.substr(at + 9)));
        std::ifstream in(file, std::ios::binary);
        p.samples.resize(std::filesystem::file_size(file) / 4);
        in.read(reinterpret_cast<char*>(p.samples.data()), static_cast<std::streamsize>(p.samples.size() * 4));
        std::filesystem::remove(file);
        return p;
    }

    void command(const std::string& line) { process_->send(line); }
    std::string lineStarting(const std::string& prefix, int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            std::string line = process_->readLine(100);
            if (line.rfind(prefix, 0) == 0)
                return line;
        }
        return "";
    }

    // The machine's counts and those of the device on port 1.
    State state()
    {
        process_->send("state");
        State s;
        std::string line = lineStarting("state ", 5000);
        std::sscanf(line.c_str(), "state processes=%zu connections=%zu fds=%zu memfds=%zu", &s.processes,
                    &s.connections, &s.fds, &s.memfds);
        line = lineStarting("device ", 5000);
        unsigned port = 0, slot = 0;
        std::sscanf(line.c_str(), "device port=%u slot=%u clients=%u owner=%u mappings=%zu", &port, &slot,
                    &s.clients, &s.owner, &s.mappings);
        return s;
    }

    // The state once `done` holds for it, or the last one after timeoutMs.
    template <class Done> State waitFor(Done done, int timeoutMs = 5000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        State s = state();
        while (!done(s) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            s = state();
        }
        return s;
    }

    std::unique_ptr<ChildProcess> client(const std::string& program, std::vector<std::string> args)
    {
        args.insert(args.begin(), program);
        return std::make_unique<ChildProcess>(
            args, std::vector<std::string>{"ORVO_MACHINE_SOCKET=" + root_ + "/socket",
                                           "ORVO_REGISTRY_ROOT=" + root_ + "/registry",
                                           "ORVO_DRIVE_ROOT=" + root_ + "/drives"});
    }

private:
    std::string logFolder() const { return root_ + "/drives/c/temp/OrvoAsioLog"; }

    std::string root_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// The line of a client that starts with `prefix` (it prints few).
inline std::string clientLine(ChildProcess& c, const std::string& prefix, int timeoutMs = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        std::string line = c.readLine(100);
        if (line.rfind(prefix, 0) == 0)
            return line;
    }
    return "";
}

} // namespace orvo::test
