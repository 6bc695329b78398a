#pragma once
// A child program with its standard input and output on pipes, for tests that
// drive a simulator program.

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace orvo::test {

class ChildProcess {
public:
    // `environment` adds NAME=VALUE entries to this process's environment.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {})
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        std::vector<char*> env;
        for (char** e = environ; *e; ++e)
            env.push_back(*e);
        for (const auto& e : environment)
            env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execve(args[0], args.data(), env.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int sig)
    {
        if (pid_ > 0)
            kill(pid_, sig);
    }

    void send(const std::string& line)
    {
        const std::string l = line + "\n";
        if (write(toChild_, l.data(), l.size()) < 0)
            perror("ChildProcess::send");
    }

    // One line of the child's output; "" after timeoutMs without one.
    std::string readLine(int timeoutMs)
    {
        std::string line;
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{fromChild_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return "";
            char chunk[256];
            const ssize_t n = read(fromChild_, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Ends the child with SIGTERM; returns its exit status (-1 when it did not exit normally).
    int stop()
    {
        signal(SIGTERM);
        return wait();
    }

    // Waits for the child to end by itself; its exit status as stop() gives it.
    int wait()
    {
        if (pid_ <= 0)
            return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        close(toChild_);
        close(fromChild_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1, fromChild_ = -1;
    std::string buffer_;
};

} // namespace orvo::test
