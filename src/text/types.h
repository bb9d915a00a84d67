// The three value types every subsystem trades in.
//
// Text is GBK bytes and never holds a zero byte; Bytes is any byte sequence. They are
// distinct types on purpose: the only ways across are text_to_bytes and bytes_to_text
// (text/text_ops.h). TextList is an ordered list of Text.
#pragma once

#include <compare>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin {

class Text {
 public:
  Text() = default;
  // Literal texts; the bytes before the first zero byte.
  Text(const char* bytes) : Text(std::string_view(bytes ? bytes : "")) {}  // NOLINT(google-explicit-constructor)
  // The bytes before the first zero byte of `bytes`, all of them when there is none.
  explicit Text(std::string_view bytes) : bytes_(bytes.substr(0, bytes.find('\0'))) {}
  explicit Text(std::string bytes) : bytes_(std::move(bytes)) {
    if (auto zero = bytes_.find('\0'); zero != std::string::npos) bytes_.resize(zero);
  }

  [[nodiscard]] const std::string& str() const noexcept { return bytes_; }
  [[nodiscard]] std::string_view view() const noexcept { return bytes_; }
  [[nodiscard]] const char* c_str() const noexcept { return bytes_.c_str(); }
  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
  // The byte at 0-based index i, as an unsigned value.
  [[nodiscard]] unsigned char at(std::size_t i) const { return static_cast<unsigned char>(bytes_[i]); }

  Text& operator+=(const Text& other) {
    bytes_ += other.bytes_;
    return *this;
  }
  friend Text operator+(Text left, const Text& right) { return left += right; }
  friend bool operator==(const Text&, const Text&) = default;
  friend std::strong_ordering operator<=>(const Text& a, const Text& b) {
    return a.bytes_.compare(b.bytes_) <=> 0;  // std::string compares as unsigned char
  }

 private:
  std::string bytes_;
};

class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::string bytes) : bytes_(std::move(bytes)) {}
  explicit Bytes(std::string_view bytes) : bytes_(bytes) {}
  Bytes(const void* data, std::size_t size) : bytes_(static_cast<const char*>(data), size) {}

  [[nodiscard]] const std::string& str() const noexcept { return bytes_; }
  [[nodiscard]] std::string& str() noexcept { return bytes_; }
  [[nodiscard]] std::string_view view() const noexcept { return bytes_; }
  [[nodiscard]] const char* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
  [[nodiscard]] unsigned char at(std::size_t i) const { return static_cast<unsigned char>(bytes_[i]); }

  Bytes& append(std::string_view more) {
    bytes_.append(more);
    return *this;
  }
  friend bool operator==(const Bytes&, const Bytes&) = default;

 private:
  std::string bytes_;
};

using TextList = std::vector<Text>;

}  // namespace kestrin
