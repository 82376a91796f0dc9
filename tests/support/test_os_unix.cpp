#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "test_os.h"

extern char** environ;

namespace pilro::test {
namespace {

// Both ends close on exec: the child gets only the copies that posix_spawn moves to 0, 1, 2.
struct pipe_ends {
    int read = -1;
    int write = -1;
};

bool open_pipe(pipe_ends& ends) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    ends = {fds[0], fds[1]};
    return true;
}

void close_end(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

process_result run_in(const std::vector<std::string>& argv, const std::string& stdin_bytes,
                      char* const* environment, int timeout_ms, const output_watch& watch) {
    process_result result;
    // A child that exits without reading its input must not take the test down with it.
    signal(SIGPIPE, SIG_IGN);

    pipe_ends in, out, err;
    if (!open_pipe(in) || !open_pipe(out) || !open_pipe(err)) {
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    close_end(in.read);
    close_end(out.write);
    close_end(err.write);
    if (spawned != 0) {
        close_end(in.write);
        close_end(out.read);
        close_end(err.read);
        result.err = argv[0] + ": " + std::strerror(spawned);
        return result;
    }

    fcntl(in.write, F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    if (stdin_bytes.empty()) {
        close_end(in.write);
    }
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    while (in.write >= 0 || out.read >= 0 || err.read >= 0) {
        int wait_ms = -1;
        if (timeout_ms > 0 && !result.timed_out) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd watched[3] = {{in.write, POLLOUT, 0}, {out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
        const int ready = poll(watched, 3, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            // Out of time: once the child is gone its pipes close and the loop ends.
            kill(pid, SIGKILL);
            result.timed_out = true;
            continue;
        }
        if (watched[0].revents != 0) {
            const ssize_t n =
                write(in.write, stdin_bytes.data() + written, stdin_bytes.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == stdin_bytes.size()) {
                close_end(in.write);
            }
        }
        int* readers[2] = {&out.read, &err.read};
        std::string* sinks[2] = {&result.out, &result.err};
        for (int k = 0; k < 2; ++k) {
            if (watched[k + 1].revents != 0) {
                char chunk[65536];
                const ssize_t n = read(*readers[k], chunk, sizeof chunk);
                if (n > 0) {
                    sinks[k]->append(chunk, static_cast<std::size_t>(n));
                    if (watch && !result.stopped && watch(result.out, result.err)) {
                        kill(pid, SIGKILL);
                        result.stopped = true;
                    }
                } else if (n == 0 || errno != EINTR) {
                    close_end(*readers[k]);
                }
            }
        }
    }
    close_end(in.write);
    close_end(out.read);
    close_end(err.read);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

process_result run_process(const std::vector<std::string>& argv, const std::string& stdin_bytes,
                           int timeout_ms, const output_watch& watch) {
    return run_in(argv, stdin_bytes, environ, timeout_ms, watch);
}

process_result run_process_text(const std::vector<std::string>& argv,
                                const std::string& stdin_bytes) {
    // LC_ALL outranks LC_CTYPE and LANG, whatever the test's own environment holds.
    std::vector<char*> environment;
    static char utf8_locale[] = "LC_ALL=C.UTF-8";
    environment.push_back(utf8_locale);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "LC_ALL=", 7) != 0) {
            environment.push_back(*variable);
        }
    }
    environment.push_back(nullptr);
    return run_in(argv, stdin_bytes, environment.data(), 0, nullptr);
}

namespace {

struct thread_start {
    thread_body body;
    void* argument;
};

void* run_thread(void* start) {
    const thread_start what = *static_cast<thread_start*>(start);
    delete static_cast<thread_start*>(start);
    what.body(what.argument);
    return nullptr;
}

// Set by a thread the signal has reached. Lock-free, so a signal handler may set it.
std::atomic<bool> frozen{false};

// A frozen thread waits here for ever, wherever the signal found it.
void hold_forever(int) {
    frozen = true;
    for (;;) {
        pause();
    }
}

}  // namespace

void* start_thread(thread_body body, void* argument) {
    auto* thread = new pthread_t;
    auto* start = new thread_start{body, argument};
    if (pthread_create(thread, nullptr, run_thread, start) != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    pthread_detach(*thread);
    return thread;
}

void freeze_thread(void* thread) {
    struct sigaction action {};
    action.sa_handler = hold_forever;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);
    auto* handle = static_cast<pthread_t*>(thread);
    frozen = false;
    // The signal arrives when it arrives: the caller may count on the thread having stopped
    // only once the handler has run (a second at most; a thread that never gets to run again
    // is stopped as well as one can be).
    if (pthread_kill(*handle, SIGUSR2) == 0) {
        for (int waited = 0; !frozen && waited < 1000; ++waited) {
            usleep(1000);
        }
    }
    delete handle;
}

}  // namespace pilro::test
