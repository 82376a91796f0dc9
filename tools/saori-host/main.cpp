// saori-host: loads a SAORI/1.0 module the way a host does and releases it again.
#include <cstdio>
#include <string>

#include "prim/prim.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: saori-host MODULE\n");
        return 2;
    }
    std::string error;
    void* module = pilro::prim::library_open(argv[1], error);
    if (module == nullptr) {
        std::fprintf(stderr, "saori-host: cannot load %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    pilro::prim::library_close(module);
    return 0;
}
