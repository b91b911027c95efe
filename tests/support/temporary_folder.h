#pragma once

#include <string>

namespace brel::test {

// A fresh folder below the system's temporary folder, removed with everything in it when the
// object goes.
class Temporary_Folder {
 public:
  Temporary_Folder();
  ~Temporary_Folder();
  Temporary_Folder(const Temporary_Folder&) = delete;
  Temporary_Folder& operator=(const Temporary_Folder&) = delete;

  // The folder's path, without a trailing "/".
  const std::string& path() const { return path_; }

  // Creates the named file inside the folder with the given text.
  void write_file(const std::string& name, const std::string& text = "") const;
  // The whole text of the named file inside the folder; empty when it cannot be read.
  std::string read_file(const std::string& name) const;
  bool has_file(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace brel::test
