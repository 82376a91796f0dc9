// What the module does when the loader attaches it to a process and detaches it again.
#ifndef PILRO_LIFECYCLE_H
#define PILRO_LIFECYCLE_H

namespace pilro {

// Places the log beside the module file (module is the loader's handle for it, where the
// platform has one) and writes the attach entry.
void on_process_attach(void* module);
// Writes the detach entry.
void on_process_detach();

// The loader's notifications as a module file takes them: dllmain.cpp calls these, and each
// module file defines them beside its exports (pilro's are the two above; the relay's in
// src/relay/relay.cpp). module is as for on_process_attach. process_ending tells a detach at
// the process's end, when other threads may still be inside whatever the module file loaded,
// from one where the host releases the module file.
void module_attached(void* module);
void module_detached(bool process_ending);

}  // namespace pilro

#endif
