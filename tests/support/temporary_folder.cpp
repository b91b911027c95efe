#include "support/temporary_folder.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace brel::test {

Temporary_Folder::Temporary_Folder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumbrix_test_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder");
  }
  path_ = pattern;
}

Temporary_Folder::~Temporary_Folder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void Temporary_Folder::write_file(const std::string& name, const std::string& text) const {
  std::ofstream(path_ + "/" + name, std::ios::binary) << text;
}

std::string Temporary_Folder::read_file(const std::string& name) const {
  std::ifstream file(path_ + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool Temporary_Folder::has_file(const std::string& name) const {
  return std::filesystem::exists(path_ + "/" + name);
}

}  // namespace brel::test
