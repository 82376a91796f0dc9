// Windows module files: the relay's and the stub's exports that pilro-place added, found in the
// real module at their first call.
#include "forward.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "../calllog/calllog.h"
#include "../module/stand_in.h"
#include "../pe/pe_image.h"
#include "../pe/placement.h"
#include "../prim/prim.h"

// dispatch-*.S.
extern "C" {
extern std::atomic<void*> pilro_forward_slots[];
int pilro_forward_nothing();
void* pilro_forward_resolve(std::uint32_t index) noexcept;
}

namespace pilro::forward {
namespace {

static_assert(sizeof(std::atomic<void*>) == sizeof(void*) &&
                  std::atomic<void*>::is_always_lock_free,
              "the dispatcher reads the slots as plain pointers");

// The module file's image, as the loader mapped it.
const char* own_image = nullptr;
// The real module's full path: the relay's, or kept_path, made at attach.
const char* real_path = nullptr;
char kept_path[module_path_capacity];
const char* prefix = "";
// The real module as this path loaded it; null until an added export's first call.
std::atomic<void*> real_module{nullptr};

// The module file's own image read; false with why where it cannot be.
bool own(pe::image& image, std::string& why) {
    const std::uint32_t size = pe::mapped_size(std::string_view(own_image, 4096));
    return image.read(std::string_view(own_image, size), pe::layout::mapped, why);
}

// The real module's path: the relay's, or for the stub the file pilro-place recorded, beside
// the stub.
const char* path() {
    return real_path != nullptr ? real_path : kept_path;
}

// The real module, loaded once by this path; null with why when it cannot be.
void* real(std::string& why) {
    void* seen = real_module.load();
    if (seen != nullptr) {
        return seen;
    }
    const char* full = path();
    if (full[0] == '\0') {
        why = "the real module's path is not known, or is too long";
        return nullptr;
    }
    char reason[512];
    void* loaded = prim::module_load(full, reason, sizeof reason);
    if (loaded == nullptr) {
        why = "cannot load " + std::string(utf8_text(full)) + ": " + reason;
        return nullptr;
    }
    // Another thread may have loaded it meanwhile; one reference is enough.
    if (!real_module.compare_exchange_strong(seen, loaded)) {
        prim::module_release(loaded);
        return seen;
    }
    return loaded;
}

// The real function for the added export at index among the functions; null, with a note
// that says why, where there is none.
void* find(std::uint32_t index) {
    pe::image image;
    pe::export_table table;
    std::string why = "this module file's own path is not known";
    if (own_image == nullptr || !own(image, why) || !pe::read_exports(image, table, why)) {
        note(prefix, {"an added export goes nowhere: this module file's export table: ", why,
                      "; it returns 0"});
        return nullptr;
    }
    const std::string_view name = pe::name_of(table, index);
    const std::uint32_t ordinal = table.base + index;
    const std::string called = name.empty() ? "the export with ordinal " + std::to_string(ordinal)
                                            : "the export " + std::string(name);
    void* module = real(why);
    void* function = nullptr;
    if (module != nullptr) {
        function = name.empty() ? prim::module_export_by_ordinal(module, ordinal)
                                : prim::module_export(module, std::string(name).c_str());
        const auto* at = static_cast<const char*>(function);
        if (module == own_image || (at >= own_image && at < own_image + image.bytes().size())) {
            why = std::string(utf8_text(path())) + " is this module file itself";
            function = nullptr;
        } else if (function == nullptr) {
            why = std::string(utf8_text(path())) + " does not export it";
        }
    }
    if (function == nullptr) {
        note(prefix, {called, " goes nowhere: ", why, "; it returns 0"});
    }
    return function;
}

}  // namespace

void attached(void* module, const char* real_module_path, const char* note_prefix) noexcept {
    own_image = static_cast<const char*>(module);
    real_path = real_module_path;
    prefix = note_prefix;
    if (real_path != nullptr || own_image == nullptr) {
        return;
    }
    // Made here, before any thread can call an export: the image is mapped, and the path known.
    try {
        pe::image image;
        std::string why;
        std::string_view recorded;
        char path[module_path_capacity];
        const std::size_t n = prim::module_file_path(module, path, sizeof path);
        if (n > 0 && own(image, why) && pe::read_placement(image, recorded)) {
            path_beside(std::string_view(path, n), std::string(recorded), kept_path,
                        sizeof kept_path);
        }
    } catch (...) {
        // Out of memory at attach: the added exports go nowhere, and say so when called.
    }
}

void detached(bool process_ending) noexcept {
    void* module = real_module.exchange(nullptr);
    if (module != nullptr && !process_ending) {
        // The host is releasing the module file: a reference of the loader's own kind, nested
        // in this release as a dependency's would be, and undone the same way.
        prim::module_release(module);
    }
}

}  // namespace pilro::forward

extern "C" void* pilro_forward_resolve(std::uint32_t index) noexcept {
    using namespace pilro::forward;
    void* function = nullptr;
    try {
        function = find(index);
    } catch (...) {
        // Out of memory for the names: the export has nowhere to go.
    }
    if (function == nullptr) {
        function = reinterpret_cast<void*>(&pilro_forward_nothing);
    }
    pilro_forward_slots[index].store(function);
    return function;
}
