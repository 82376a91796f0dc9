// What a file's header says about it as a module, asked before the loader is: the loader's
// own word for a file it cannot take is often only "bad format" or "wrong ELF class".
#ifndef PILRO_SAORI_HOST_MODULE_FILE_H
#define PILRO_SAORI_HOST_MODULE_FILE_H

#include <string>

namespace pilro::host {

// Empty when the file at path can be read and its header names a library of the format, word
// size, byte order and machine that this process loads (the loader still has the last word).
// Otherwise a sentence that names the file and what is wrong with it, such as "x.dll is a
// 64-bit x86-64 PE module; this host loads 32-bit x86 PE modules".
std::string module_file_problem(const std::string& path);

}  // namespace pilro::host

#endif
