#include "base/system_dependencies.h"

#include <dirent.h>
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "base/exception.h"

namespace brel {

namespace {

// The user database's home folder of the real user, or "" without an entry.
std::string user_database_home() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) {
    size = 16384;
  }
  std::vector<char> buffer(static_cast<size_t>(size));
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

// The extension as the listing compares it: the text after the last ".", the whole name when
// there is no ".".
std::string extension_of(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(dot + 1);
}

}  // namespace

std::string home_folder() {
  std::string home;
  if (const char* value = std::getenv("HOME"); value != nullptr) {
    home = value;
  } else if (const char* path = std::getenv("HOMEPATH"); path != nullptr) {
    home = path;
  } else {
    home = user_database_home();
  }
  return home + "/";
}

std::string user_data_folder(bool create) {
  const std::string folder = home_folder() + "tarvolen/";
  if (create) {
    mkdir(folder.c_str(), 0777);
  }
  return folder;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return "./";
  }
  return path.substr(0, slash + 1);
}

std::string module_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&module_folder), &info) == 0 || info.dli_fname == nullptr) {
    return "./";
  }
  return folder_of(info.dli_fname);
}

void list_files(std::vector<std::string>& files, const std::string& folder,
                const std::string& suffix, bool recursive) {
  BREL_ASSERT_MSG_AT(recursive == false, "feature not implemented", report::list_files_recursive);
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    return;
  }
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (suffix == "*" || extension_of(name) == suffix) {
      files.push_back(folder + name);
    }
  }
  closedir(directory);
}

int64_t cpu_count(int64_t requested, int64_t hardware_concurrency) {
  const int64_t hardware = std::max<int64_t>(hardware_concurrency, 1);
  return requested > 0 ? std::min(requested, hardware) : hardware;
}

int64_t cpu_count(int64_t requested) {
  return cpu_count(requested, static_cast<int64_t>(std::thread::hardware_concurrency()));
}

std::string os_name() {
  return "Linux";
}

void on_memory_allocated(void* /*pointer*/, int64_t /*size*/) {}

}  // namespace brel
