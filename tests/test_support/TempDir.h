#pragma once
// A fresh temporary directory for one test, removed with everything in it.

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("mailshot-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The full path of name inside the directory (the directory itself for "").
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

  /// The bytes of the file at path (any path); empty when there is none.
  static std::string Read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  /// Writes content as bytes to name and returns its full path.
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string full = Path(name);
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }

 private:
  std::filesystem::path path_;
};
