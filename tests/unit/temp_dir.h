// A scratch directory for a test or a bench run.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace netbuf::testing {

// A fresh directory under the system's temporary directory, named
// <prefix>XXXXXX, removed with all it holds (made writable again first)
// when the object goes.
class TempDir {
 public:
  explicit TempDir(const char* prefix) {
    std::string tmpl = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace netbuf::testing
