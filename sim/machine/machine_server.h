#pragma once
// The machine process's door: a Unix sequenced-packet socket on which client
// processes make their device calls and named events (machine_link.h on
// their side). Each connection is served by a thread of its own acting for
// the client's process (its real id, from the socket's peer credentials)
// and thread; the kernel's user mappings go into the client through its
// connection. When the last connection of a process goes, however the
// process ended, its handles are closed in its own context.
//
// A misbehaving client costs only its own connections: every answer the
// machine waits for is bounded in time, sends time out, messages are
// length-checked before any field is read, and the number of connections is
// bounded.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvo::machine {

struct ServerLimits {
    size_t maxConnections = 256;
    size_t maxConnectionsPerProcess = 64;
    int answerTimeoutMs = 2000; // a client's answer to a mapping request, and its first message
    int sendTimeoutMs = 1000;
};

class MachineServer {
public:
    explicit MachineServer(ServerLimits limits = {});
    ~MachineServer();
    MachineServer(const MachineServer&) = delete;
    MachineServer& operator=(const MachineServer&) = delete;

    // Listens on `path` (an old socket file there is replaced). False with a
    // line on standard error when it cannot.
    bool listen(const std::string& path);
    // Closes the door and every connection, and waits for their threads.
    void stop();

    // Serves one connected socket of this process on the calling thread as
    // a client process with id `processId` (the fuzz target's front end);
    // returns when the connection ends. The socket is the caller's.
    void serve(int socket, uint32_t processId);

    size_t processCount() const;
    size_t connectionCount() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Open file descriptors of this process, and how many of them are memfds.
struct DescriptorCount {
    size_t all = 0;
    size_t memfds = 0;
};
DescriptorCount countDescriptors();

} // namespace orvo::machine
