#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <functional>
#include <mutex>
#include <thread>

#include "test_os.h"

namespace pilro::test {
namespace {

// One argument as the C runtime's command-line parser (and CommandLineToArgvW) reads it back:
// quoted when it is empty or holds a blank or a quote; backslashes are doubled only where a
// quote follows them.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring text = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        text.push_back(c);
        backslashes = 0;
    }
    text.append(2 * backslashes, L'\\');
    text.push_back(L'"');
    return text;
}

std::wstring widened(UINT code_page, const std::string& text) {
    std::wstring wide;
    const int n =
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n > 0) {
        wide.resize(static_cast<std::size_t>(n));
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    }
    return wide;
}

void close_handle(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

// Arguments after argv[0] are read in arguments_code_page. What CreateProcessA does with the
// ANSI code page, done here so that UTF-8 text can take the same way.
process_result run_wide(const std::vector<std::string>& argv, UINT arguments_code_page,
                        const std::string& stdin_bytes, int timeout_ms, const output_watch& watch) {
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

    std::wstring command_line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        command_line +=
            (i == 0 ? L"" : L" ") + quoted(widened(i == 0 ? CP_ACP : arguments_code_page, argv[i]));
    }
    const std::wstring program = widened(CP_ACP, argv[0]);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE,
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
    std::mutex reading;
    const auto read_all = [&](HANDLE from, std::string& into) {
        char chunk[65536];
        DWORD got = 0;
        while (ReadFile(from, chunk, static_cast<DWORD>(sizeof chunk), &got, nullptr) && got > 0) {
            const std::lock_guard<std::mutex> lock(reading);
            into.append(chunk, got);
            if (watch && !result.stopped && watch(result.out, result.err)) {
                TerminateProcess(process.hProcess, 1);
                result.stopped = true;
            }
        }
    };
    std::thread error_reader(read_all, err_read, std::ref(result.err));
    std::thread output_reader(read_all, out_read, std::ref(result.out));
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

}  // namespace

process_result run_process(const std::vector<std::string>& argv, const std::string& stdin_bytes,
                           int timeout_ms, const output_watch& watch) {
    return run_wide(argv, CP_ACP, stdin_bytes, timeout_ms, watch);
}

process_result run_process_text(const std::vector<std::string>& argv,
                                const std::string& stdin_bytes) {
    return run_wide(argv, CP_UTF8, stdin_bytes, 0, nullptr);
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
    const auto handle = static_cast<HANDLE>(thread);
    SuspendThread(handle);
    // SuspendThread only asks: the thread may run on for a moment, under Wine for long enough
    // to take the log the caller is about to let go. Reading its registers waits until it
    // has stopped.
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(handle, &context);
    CloseHandle(handle);
}

}  // namespace pilro::test
