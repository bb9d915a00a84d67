// Whole-file reads and writes for tests and benchmarks, byte for byte.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrin::test_support {

// The whole content of `path`; nullopt when it cannot be opened (missing, no right, a folder
// reads as empty on some systems).
[[nodiscard]] std::optional<std::string> read_bytes(const std::filesystem::path& path);

// Replaces the content of `path` with `bytes`, creating the file; false when that failed.
bool write_bytes(const std::filesystem::path& path, std::string_view bytes);

}  // namespace kestrin::test_support
