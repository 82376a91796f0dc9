#include "exports.h"

#include "../calllog/calllog.h"
#include "lifecycle.h"

namespace pilro {

void module_attached(void* module) {
    on_process_attach(module);
}

void module_detached(bool) {
    on_process_detach();
}

}  // namespace pilro

extern "C" {

int PILRO_CDECL load(void* block, long length) {
    pilro::log_load(block, length);
    pilro::prim::block_free(block);
    return 1;
}

void* PILRO_CDECL request(void* block, long* length) {
    return pilro::handle_request(block, length, pilro::prim::block_alloc);
}

int PILRO_CDECL unload(void) {
    pilro::write_log("unload()\r\n\r\n");
    return 1;
}
}
