// Counting the heap bytes a call takes. The platform part (heap_hooks_posix.cpp,
// heap_hooks_windows.cpp) routes the allocation functions through note_alloc and note_free;
// this part keeps the books.
//
// Only blocks allocated while recording are tracked, by address, with the size that was
// asked for (not what the allocator rounded it up to). Freeing a block from before start()
// changes nothing. Single-threaded: the programs that use this make all their calls from one
// thread.
#ifndef PILRO_BENCH_HEAP_COUNT_H
#define PILRO_BENCH_HEAP_COUNT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace pilro::bench::heap {

// Routes this program's allocation calls through the books. Returns false, with the reason
// in how, when that cannot be done; otherwise how says which calls are counted.
bool install(std::string& how);
// The same for a module file loaded separately (library_open's handle). Where one hook for
// the whole process already covers loaded modules, this only says so.
bool install_into(void* library, std::string& how);

// Whether the hooks are in effect for this program: a malloc made through a pointer the
// compiler cannot see into is counted. Leaves nothing recorded.
bool program_calls_counted() noexcept;

// Forgets all earlier records and starts tracking new blocks.
void start() noexcept;
void stop() noexcept;
// Bytes in tracked blocks not yet freed.
std::int64_t live() noexcept;
// The most that live() reached since start() or reset_peak().
std::int64_t peak() noexcept;
void reset_peak() noexcept;
// Tracked blocks made since start().
std::int64_t allocations() noexcept;

// For the hooks.
void note_alloc(void* block, std::size_t size) noexcept;
void note_free(void* block) noexcept;

}  // namespace pilro::bench::heap

#endif
