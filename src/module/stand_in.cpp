#include "stand_in.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../calllog/calllog.h"
#include "../capture/capture_log.h"
#include "../prim/prim.h"
#include "exports.h"

namespace pilro {

void attach_named(void* module,
                  std::string (*stem)(std::string_view own, const file_name_parts& parts)) {
    char path[module_path_capacity];
    const std::size_t n = prim::module_file_path(module, path, sizeof path);
    if (n > 0) {
        try {
            const std::string_view own(path, n);
            const std::string name =
                stem(own, split_file_name(own, prim::is_lead_byte, prim::backslash_separates));
            set_log_file(log_path_beside(own, prim::is_lead_byte, prim::backslash_separates,
                                         name + std::string(relay_log_suffix)));
        } catch (...) {
            // Out of memory for the paths: no log, but the module file still attaches; an
            // exception leaving the loader's callback would end the host.
        }
    }
    write_log("DllMain(Attach)\r\n\r\n");
}

bool is_marker(std::string_view part) noexcept {
    constexpr std::string_view marker = ".pilro";
    if (part.size() != marker.size()) {
        return false;
    }
    for (std::size_t i = 0; i < marker.size(); ++i) {
        const char c = part[i] >= 'A' && part[i] <= 'Z' ? static_cast<char>(part[i] + 32) : part[i];
        if (c != marker[i]) {
            return false;
        }
    }
    return true;
}

void path_beside(std::string_view own, const std::string& name, char* out, std::size_t cap) {
    const std::string path =
        log_path_beside(own, prim::is_lead_byte, prim::backslash_separates, name);
    const std::size_t n = path.size() < cap ? path.size() : 0;
    std::memcpy(out, path.c_str(), n);
    out[n] = '\0';
}

void note(std::string_view prefix, std::initializer_list<std::string_view> parts) noexcept {
    try {
        std::string entry(prefix);
        for (const std::string_view part : parts) {
            entry.append(part);
        }
        for (char& c : entry) {
            c = c == '\r' || c == '\n' ? ' ' : c;
        }
        while (entry.back() == ' ') {
            entry.pop_back();
        }
        entry.append("\r\n\r\n");
        write_log(entry);
    } catch (...) {
        // Out of memory: the note is lost, like any entry that cannot be written.
    }
}

utf8_text::utf8_text(const char* native) noexcept : text_(native), size_(std::strlen(native)) {
    std::size_t made = 0;
    if (prim::native_to_utf8(native, size_, converted_, sizeof converted_, made)) {
        text_ = converted_;
        size_ = made;
    }
}

request_entry log_request(const void* block, const long* length) noexcept {
    const char* text = static_cast<const char*>(block);
    request_entry entry{text_length(text, readable_bytes(block, length != nullptr ? *length : 0)),
                        false, 0, 0};
    entry.logged = write_log_bytes_at(text, entry.size, entry.end) && entry.size > 0;
    if (entry.logged) {
        entry.crc = capture::crc32(std::string_view(text, entry.size));
    }
    return entry;
}

void log_reply(const request_entry& request, std::uint64_t micros, const long* length,
               const void* reply) noexcept {
    capture::reply says{};
    says.paired = request.logged;
    says.request_end = request.end;
    says.identified = request.logged;
    says.request_size = request.size;
    says.request_crc = request.crc;
    says.microseconds = micros;
    says.has_length = length != nullptr;
    says.length = length != nullptr ? *length : 0;
    says.block = reply != nullptr;
    const char* bytes = static_cast<const char*>(reply);
    const std::size_t n =
        reply == nullptr
            ? 0
            : text_length(bytes, readable_bytes(reply, length != nullptr ? *length : LONG_MAX));
    // Replies are mostly small: those are assembled on the stack.
    char small[4096];
    static_assert(sizeof small >= capture::reply_line_capacity + 4);
    const std::size_t h = capture::format_reply_line(small, says, n);
    const std::size_t total = h + (reply == nullptr ? 2 : n + 4);
    char* entry = small;
    if (total > sizeof small) {
        entry = static_cast<char*>(std::malloc(total));
        if (entry == nullptr) {
            return;  // out of memory: the entry is lost, silently
        }
        std::memcpy(entry, small, h);
    }
    if (reply != nullptr && n > 0) {
        std::memcpy(entry + h, bytes, n);
    }
    std::memcpy(entry + total - (reply == nullptr ? 2 : 4), "\r\n\r\n", reply == nullptr ? 2 : 4);
    write_log_bytes(entry, total);
    if (entry != small) {
        std::free(entry);
    }
}

bool wait_while(const std::atomic<int>& state, int value, std::uint64_t longest_us) noexcept {
    const std::uint64_t started = prim::monotonic_microseconds();
    while (state.load() == value) {
        if (prim::monotonic_microseconds() - started > longest_us) {
            return false;
        }
        prim::pause();
    }
    return true;
}

}  // namespace pilro
