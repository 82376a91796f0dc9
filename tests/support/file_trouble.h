// Ways to make the log file hard to write, for the tests that check the module shrugs them
// off.
#ifndef PILRO_FILE_TROUBLE_H
#define PILRO_FILE_TROUBLE_H

#include <string>

namespace pilro::test {

// Opens path (creating it) so that no one else may open it for writing, as an editor or a
// backup tool might. Null where the platform has no such sharing rule.
void* hold_exclusively(const std::string& path);
void release(void* held);

// Marks the file read-only for everyone the platform lets it (root on POSIX ignores it).
bool make_read_only(const std::string& path);

// A path that behaves like a file on a full disk, or empty where there is none.
std::string full_device();

}  // namespace pilro::test

#endif
