#include "lifecycle.h"

#include "../calllog/calllog.h"
#include "../prim/prim.h"

namespace pilro {

void on_process_attach(void* module) {
    // MAX_PATH: the buffer the module path has always been read into.
    char path[module_path_capacity];
    // Without its own path the module cannot know where "beside itself" is; then the log is
    // written nowhere rather than somewhere else.
    if (prim::module_file_path(module, path, sizeof path) > 0) {
        try {
            set_log_path(path);
        } catch (...) {
            // Out of memory for the path: no log, but the module still attaches; an exception
            // leaving the loader's callback would end the host.
        }
    }
    write_log("DllMain(Attach)\r\n\r\n");
}

void on_process_detach() {
    write_log("DllMain(Detach)\r\n\r\n");
}

}  // namespace pilro
