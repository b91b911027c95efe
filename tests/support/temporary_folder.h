#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace brel::test {

// A fresh folder below the system's temporary folder, removed with everything in it when the
// object goes.
class Temporary_Folder {
 public:
  Temporary_Folder() {
    path_ = (std::filesystem::temp_directory_path() / "lumbrix_test_XXXXXX").string();
    if (mkdtemp(path_.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary folder");
    }
  }
  ~Temporary_Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  Temporary_Folder(const Temporary_Folder&) = delete;
  Temporary_Folder& operator=(const Temporary_Folder&) = delete;

  // The folder's path, without a trailing "/".
  const std::string& path() const { return path_; }

  // Creates the named file inside the folder with the given text.
  void write_file(const std::string& name, const std::string& text = "") const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
  }
  // The whole text of the named file inside the folder; empty when it cannot be read.
  std::string read_file(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(path_ + "/" + name, std::ios::binary).rdbuf();
    return text.str();
  }
  bool has_file(const std::string& name) const {
    return std::filesystem::exists(path_ + "/" + name);
  }

 private:
  std::string path_;
};

}  // namespace brel::test
