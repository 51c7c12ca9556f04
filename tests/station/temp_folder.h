#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sondrix::testing {

// A fresh folder, by default under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
  explicit TempFolder(const std::filesystem::path& under = std::filesystem::temp_directory_path()) {
    std::string pattern = (under / "sondrix-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return FPath; }
  std::string operator/(std::string_view name) const { return FPath + "/" + std::string(name); }

private:
  std::string FPath;
};

// Sets (or, with nullopt, unsets) an environment variable until the end of the scope.
class ScopedEnv {
public:
  ScopedEnv(const char* name, std::optional<std::string> value) : FName(name) {
    if (const char* old = std::getenv(name))
      FOld = old;
    apply(value);
  }
  ~ScopedEnv() { apply(FOld); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  void apply(const std::optional<std::string>& value) {
    if (value)
      ::setenv(FName.c_str(), value->c_str(), 1);
    else
      ::unsetenv(FName.c_str());
  }
  std::string FName;
  std::optional<std::string> FOld;
};

inline void writeBytes(const std::string& path, std::string_view bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace sondrix::testing
