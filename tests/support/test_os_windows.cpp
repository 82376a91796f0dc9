#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <thread>

#include "test_os.h"

namespace pilro::test {
namespace {

// One argument as the C runtime's command-line parser reads it back: quoted when it is empty
// or holds a blank or a quote; backslashes are doubled only where a quote follows them.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string text = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        text.push_back(c);
        backslashes = 0;
    }
    text.append(2 * backslashes, '\\');
    text.push_back('"');
    return text;
}

void read_all(HANDLE from, std::string& into) {
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(from, chunk, static_cast<DWORD>(sizeof chunk), &got, nullptr) && got > 0) {
        into.append(chunk, got);
    }
}

void close_handle(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

}  // namespace

process_result run_process(const std::vector<std::string>& argv, const std::string& stdin_bytes,
                           int timeout_ms) {
    process_result result;
    // The child inherits only its own ends; the parent's ends stay private, or the child would
    // hold its own input open and never see its end.
    SECURITY_ATTRIBUTES inheritable{static_cast<DWORD>(sizeof(SECURITY_ATTRIBUTES)), nullptr, TRUE};
    HANDLE in_read = nullptr, in_write = nullptr;
    HANDLE out_read = nullptr, out_write = nullptr;
    HANDLE err_read = nullptr, err_write = nullptr;
    if (!CreatePipe(&in_read, &in_write, &inheritable, 0) ||
        !CreatePipe(&out_read, &out_write, &inheritable, 0) ||
        !CreatePipe(&err_read, &err_write, &inheritable, 0)) {
        result.err = "CreatePipe failed: " + std::to_string(GetLastError());
        return result;
    }
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

    std::string command_line;
    for (const std::string& arg : argv) {
        command_line += (command_line.empty() ? "" : " ") + quoted(arg);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(argv[0].c_str(), &command_line[0], nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &process);
    const DWORD start_error = GetLastError();
    close_handle(in_read);
    close_handle(out_write);
    close_handle(err_write);
    if (!started) {
        close_handle(in_write);
        close_handle(out_read);
        close_handle(err_read);
        result.err = argv[0] + ": CreateProcess failed: " + std::to_string(start_error);
        return result;
    }

    std::thread feeder([&] {
        DWORD done = 0;
        std::size_t written = 0;
        while (written < stdin_bytes.size() &&
               WriteFile(in_write, stdin_bytes.data() + written,
                         static_cast<DWORD>(stdin_bytes.size() - written), &done, nullptr)) {
            written += done;
        }
        close_handle(in_write);
    });
    std::thread error_reader([&] { read_all(err_read, result.err); });
    std::thread output_reader([&] { read_all(out_read, result.out); });
    if (WaitForSingleObject(process.hProcess, timeout_ms > 0 ? static_cast<DWORD>(timeout_ms)
                                                             : INFINITE) == WAIT_TIMEOUT) {
        // Once the child is gone, its ends of the pipes close and the readers finish.
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        result.timed_out = true;
    }
    feeder.join();
    error_reader.join();
    output_reader.join();
    close_handle(out_read);
    close_handle(err_read);

    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exit_code = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

namespace {

struct thread_start {
    thread_body body;
    void* argument;
};

DWORD WINAPI run_thread(void* start) {
    const thread_start what = *static_cast<thread_start*>(start);
    delete static_cast<thread_start*>(start);
    what.body(what.argument);
    return 0;
}

}  // namespace

void* start_thread(thread_body body, void* argument) {
    auto* start = new thread_start{body, argument};
    HANDLE thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
    }
    return thread;
}

void freeze_thread(void* thread) {
    SuspendThread(static_cast<HANDLE>(thread));
}

}  // namespace pilro::test
