// pilro-place's work: a relay or a stub written beside a real Windows module with every export
// of it, and removed again. Files are read and written through the tools' platform layer; what
// is written is worked out by src/pe alone.
#ifndef PILRO_PLACE_PLACING_H
#define PILRO_PLACE_PLACING_H

#include <string>

namespace pilro::place {

// Which stand-in to place, and where its module file is.
enum class stand_in { relay, stub };

// The file a placement of module writes: its name with ".pilro" before the last extension
// (saori/foo.dll: saori/foo.pilro.dll), or added to a name without one.
std::string placed_path(const std::string& module);

// Writes the stand-in (pilro-relay.dll or pilro-stub.dll from the folder from) beside module,
// at placed_path(module), with module's exports. Returns true and a line that says what was
// written in message; or false, having written nothing, and why in message.
bool place_module(const std::string& module, stand_in kind, const std::string& from,
                  std::string& message);

// Removes placed_path(module) if pilro-place wrote it. As place_module.
bool undo(const std::string& module, std::string& message);

}  // namespace pilro::place

#endif
