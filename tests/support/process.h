// Child processes for tests and benchmarks: started in the background, run
// to their end with standard output captured, waited for with a deadline,
// and always ended and reaped by their own process id. Header only and free
// of GoogleTest, so benchmarks use it too.
//
//   std::string strOut;
//   RunProcess({"ip", "-br", "link"}, std::chrono::seconds(5), &strOut); // exit code, or -1
//   const pid_t pid = SpawnProcess({"iperf3", "-s"}); // in the background
//   EndProcess(pid);                                  // SIGTERM, later SIGKILL
//
// Children are made with posix_spawnp, which is safe while other threads of
// the caller run (a plain fork would have to stop at exec without taking a
// lock, malloc's included).
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace testing_support {

// Where SpawnProcess sends a child's standard output or error when not to a
// descriptor of the caller's.
constexpr int OUTPUT_INHERITED = -1; // the caller's own
constexpr int OUTPUT_DISCARDED = -2; // /dev/null

// Starts args (args[0] searched in PATH unless it holds a '/') with its
// standard output and error as given; its pid, or -1 when it could not be
// started (no such program included).
inline pid_t SpawnProcess(const std::vector<std::string>& args, int nStdout = OUTPUT_DISCARDED,
                          int nStderr = OUTPUT_INHERITED) {
    if (args.empty()) {
        return -1;
    }
    std::vector<char*> argv;
    for (const std::string& strArg : args) {
        argv.push_back(const_cast<char*>(strArg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0) {
        return -1;
    }
    const int nTargets[2] = {STDOUT_FILENO, STDERR_FILENO};
    const int nSources[2] = {nStdout, nStderr};
    for (int i = 0; i < 2; ++i) {
        if (nSources[i] == OUTPUT_DISCARDED) {
            ::posix_spawn_file_actions_addopen(&actions, nTargets[i], "/dev/null", O_WRONLY, 0);
        } else if (nSources[i] >= 0) {
            ::posix_spawn_file_actions_adddup2(&actions, nSources[i], nTargets[i]);
        }
    }
    pid_t pid = -1;
    const int nError = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return nError == 0 ? pid : -1;
}

// Waits up to the timeout for the child to end, and reaps it. Its exit code
// once it has ended (-1 when a signal ended it, or it was no child of ours);
// nothing while it still runs.
inline std::optional<int> WaitProcess(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int nStatus = 0;
        const pid_t r = ::waitpid(pid, &nStatus, WNOHANG);
        if (r == pid) {
            return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Kills the child and reaps it.
inline void KillProcess(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Asks the child to end (SIGTERM), kills it when it has not within the
// grace period, and reaps it either way. Does nothing for pid <= 0.
inline void EndProcess(pid_t pid, std::chrono::milliseconds grace = std::chrono::seconds(2)) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGTERM);
    if (!WaitProcess(pid, grace)) {
        KillProcess(pid);
    }
}

// Runs args to its end with its standard output captured (standard error is
// the caller's), killing it when it outlives the timeout. Its exit code, or
// -1 when it could not start, had to be killed or was ended by a signal.
// pOutput gets whatever it wrote, also then; onStarted its pid while it runs.
inline int RunProcess(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                      std::string* pOutput = nullptr,
                      const std::function<void(pid_t)>& onStarted = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) {
        return -1;
    }
    const pid_t pid = SpawnProcess(args, fds[1], OUTPUT_INHERITED);
    ::close(fds[1]);
    if (pid > 0 && onStarted) {
        onStarted(pid);
    }
    std::string strOutput;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Read until the child closes its output or the time is up.
    while (pid > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        const int nReady = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (nReady < 0 && errno != EINTR) {
            break;
        }
        if (nReady <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        strOutput.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int nCode = -1;
    if (pid > 0) {
        // Closing its output is not the end of a child: wait for that too,
        // within what is left of the timeout.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const std::optional<int> code =
            WaitProcess(pid, std::max(left, std::chrono::milliseconds(0)));
        if (code) {
            nCode = *code;
        } else {
            KillProcess(pid);
        }
    }
    if (pOutput != nullptr) {
        *pOutput = std::move(strOutput);
    }
    return nCode;
}

} // namespace testing_support
