// A fresh directory per test under the temporary folder, with a random suffix; its path is
// printed when the test fails, and it is removed in tear-down with std::filesystem, not with the
// tool's own removal code. Relative paths ("a\\b") may be longer than the classic limit.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/windows_api.h"

namespace voxtrel::testing {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  [[nodiscard]] const std::wstring& path() const { return path_; }
  [[nodiscard]] std::wstring at(std::wstring_view relative) const;
  // Creates the file and its parents.
  void write_file(std::wstring_view relative, std::string_view content = "x") const;
  void make_directory(std::wstring_view relative) const;
  [[nodiscard]] bool exists(std::wstring_view relative) const;
  // The file's content, or nothing when it cannot be read.
  [[nodiscard]] std::optional<std::string> content(std::wstring_view relative) const;
  void make_read_only(std::wstring_view relative) const;

 private:
  [[nodiscard]] std::wstring verbatim(std::wstring_view relative) const;

  std::wstring path_;
};

// Fixture owning one scratch directory.
class ScratchTest : public ::testing::Test {
 protected:
  void TearDown() override;
  ScratchDirectory scratch_;
};

// The entries of `directory` (a full path) in the order the platform lists them, "." and ".."
// left out.
[[nodiscard]] std::vector<WIN32_FIND_DATAW> listing(const std::wstring& directory);

// The UTF-8 form of a UTF-16 text, for messages.
[[nodiscard]] std::string narrow(std::wstring_view text);

}  // namespace voxtrel::testing
