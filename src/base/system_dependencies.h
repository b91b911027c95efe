#pragma once

// Questions about the machine the effect runs on: the user's folders, the folder of the plug-in
// file, folder listings, the processor count and the operating system. Every folder path
// returned here ends with "/", so callers append file names directly.

#include <cstdint>
#include <string>
#include <vector>

namespace brel {

// HOME, else HOMEPATH, else the user database's entry of the real user (empty without one),
// always followed by "/".
std::string home_folder();

// The per-user data folder, home folder + "tarvolen/"; create makes it (an existing folder or a
// failure is ignored).
std::string user_data_folder(bool create);

// The folder of the file that holds this library's code, or "./" when the loader cannot say.
std::string module_folder();

// The folder part of a file path, up to and including the last "/"; "./" when there is none.
std::string folder_of(const std::string& path);

// Appends folder + name for every entry of folder whose extension (the text after the last
// ".", or the whole name without one) equals suffix; suffix "*" takes every entry. A folder
// that cannot be opened adds nothing. Recursive listing is not supported (assertion).
void list_files(std::vector<std::string>& files, const std::string& folder,
                const std::string& suffix, bool recursive);

// The processors to use for a request: the hardware's count (at least 1), limited to the
// request when the request is above 0.
int64_t cpu_count(int64_t requested);
// The same for a given hardware count.
int64_t cpu_count(int64_t requested, int64_t hardware_concurrency);

// The system this library was built for.
std::string os_name();

// Bytes to which memory blocks and the rows of two-dimensional blocks are aligned: one cache
// line.
constexpr int64_t memory_alignment() {
  return 64;
}

// Called after every host-memory allocation; a hook for diagnostics, doing nothing.
void on_memory_allocated(void* pointer, int64_t size);

}  // namespace brel
