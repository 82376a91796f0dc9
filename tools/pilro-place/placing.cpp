#include "placing.h"

#include <cerrno>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <vector>

#include "calllog/calllog.h"
#include "capture/capture_file.h"
#include "pe/pe_image.h"
#include "pe/placement.h"
#include "platform/platform.h"
#include "prim/prim.h"

namespace pilro::place {
namespace {

const char* file_name(stand_in kind) {
    return kind == stand_in::relay ? "pilro-relay.dll" : "pilro-stub.dll";
}

const char* kind_name(stand_in kind) {
    return kind == stand_in::relay ? "relay" : "stub";
}

// Where the file name at the end of path starts.
std::size_t name_start(const std::string& path) {
    return directory_end(path, 0, prim::is_lead_byte, prim::backslash_separates);
}

// "32-bit x86 DLL"
std::string describe(const pe::image& image) {
    return std::string(image.pe32_plus() ? "64-bit " : "32-bit ") +
           pe::machine_name(image.machine()) + " DLL";
}

// A module file read and checked: its image reads over bytes.
struct module_file {
    std::string bytes;
    pe::image image;
};

// Reads the file at path as a Windows module; false with a sentence in why when it is none.
bool read_module(const std::string& path, module_file& out, std::string& why) {
    std::string error;
    if (!capture::read_file(path, {}, out.bytes, error)) {
        why = error;
        return false;
    }
    if (out.bytes.compare(0, 4, "\177ELF") == 0) {
        why = path +
              " is an ELF shared object: pilro-place places Windows DLLs only (on POSIX, copy "
              "pilro-relay.so or pilro-stub.so into place by hand; they have the three exports)";
        return false;
    }
    if (!out.image.read(out.bytes, pe::layout::file, why)) {
        why = path + " is no Windows DLL: " + why;
        return false;
    }
    return true;
}

// The stand-in's module file from the folder, or beside this program.
bool read_stand_in(stand_in kind, const std::string& from, module_file& out, pe::descriptor& d,
                   std::string& path, std::string& why) {
    std::string folder = from;
    if (folder.empty()) {
        const std::string self = platform::program_path();
        folder = self.substr(0, name_start(self));
    } else if (name_start(folder + "x") != folder.size()) {
        folder += prim::backslash_separates ? "\\" : "/";
    }
    path = folder + file_name(kind);
    if (!read_module(path, out, why)) {
        if (from.empty()) {
            why += std::string(" (the ") + kind_name(kind) +
                   " beside pilro-place; --from names another folder)";
        }
        return false;
    }
    if (!pe::read_descriptor(out.image, d, why)) {
        why = path + " is no " + kind_name(kind) + " of this pilro-place's version" +
              (why.empty() ? " (it has no section " + std::string(pe::descriptor_section) + ")"
                           : ": " + why);
        return false;
    }
    return true;
}

// The names of the stand-in's own exports that table has, as a list: "load, request and unload".
std::string own_names(const pe::export_table& table) {
    std::vector<std::string_view> found;
    for (const std::string_view own : pe::own_exports) {
        for (const pe::export_table::named& named : table.names) {
            if (named.name == own) {
                found.push_back(own);
                break;
            }
        }
    }
    std::string list;
    for (std::size_t k = 0; k < found.size(); ++k) {
        list += (k == 0 ? "" : k + 1 == found.size() ? " and " : ", ") + std::string(found[k]);
    }
    return list;
}

}  // namespace

std::string placed_path(const std::string& module) {
    const std::size_t name = name_start(module);
    // A dot that starts the name is no extension's.
    const std::size_t dot = module.rfind('.');
    const std::size_t at = dot != std::string::npos && dot > name ? dot : module.size();
    return module.substr(0, at) + ".pilro" + module.substr(at);
}

bool place_module(const std::string& module, stand_in kind, const std::string& from,
                  std::string& message) {
    const std::string nothing = "; nothing was written";
    module_file real;
    pe::export_table table;
    std::string why;
    if (!read_module(module, real, message)) {
        message += nothing;
        return false;
    }
    if (!pe::read_exports(real.image, table, why) ||
        !(why = pe::real_module_problem(real.image, table)).empty()) {
        message = module + " cannot be placed: " + why + nothing;
        return false;
    }
    module_file own;
    pe::descriptor d{};
    std::string own_path;
    if (!read_stand_in(kind, from, own, d, own_path, message)) {
        message += nothing;
        return false;
    }
    if (own.image.machine() != real.image.machine() ||
        own.image.pe32_plus() != real.image.pe32_plus()) {
        message = module + " is a " + describe(real.image) + ", and the " + kind_name(kind) +
                  " at " + own_path + " is a " + describe(own.image) +
                  ": name a folder that holds a " + kind_name(kind) + " for " +
                  describe(real.image) + "s with --from" + nothing;
        return false;
    }
    const std::string real_name = module.substr(name_start(module));
    pe::placed out;
    if (!pe::place(own.image, d, table, real_name, out, why)) {
        message = module + " cannot be placed: " + why + nothing;
        return false;
    }
    const std::string target = placed_path(module);
    module_file there;
    std::string replaced;
    if (capture::read_file(target, {}, there.bytes, why)) {
        pe::descriptor theirs{};
        if (!there.image.read(there.bytes, pe::layout::file, why) ||
            !pe::read_descriptor(there.image, theirs, why)) {
            message =
                target + " exists and is no relay or stub of pilro's: move it away first" + nothing;
            return false;
        }
        replaced = " (in place of the relay or stub that was there)";
    }
    const int code = platform::write_file(target, out.bytes);
    if (code != 0) {
        message = "cannot write " + target + ": " + std::generic_category().message(code) +
                  (code == EACCES ? " (is a program using it?)" : "");
        return false;
    }
    message = "wrote " + target + replaced + ": the " + kind_name(kind) +
              " with every export of " + real_name + ": " + own_names(table) + " through the " +
              kind_name(kind) + ", " + std::to_string(out.forwarded) + " more straight to " +
              real_name;
    return true;
}

bool undo(const std::string& module, std::string& message) {
    const std::string target = placed_path(module);
    module_file there;
    std::string_view recorded;
    if (!capture::read_file(target, {}, there.bytes, message)) {
        message += ": nothing to undo";
        return false;
    }
    std::string why;
    if (!there.image.read(there.bytes, pe::layout::file, why) ||
        !pe::read_placement(there.image, recorded)) {
        message = target + " is no relay or stub that pilro-place wrote: left as it is";
        return false;
    }
    const int code = platform::remove_file(target);
    if (code != 0) {
        message = "cannot remove " + target + ": " + std::generic_category().message(code) +
                  (code == EACCES ? " (is a program using it?)" : "");
        return false;
    }
    message = "removed " + target + ", placed for " + std::string(recorded);
    return true;
}

}  // namespace pilro::place
