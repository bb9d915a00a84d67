// Small codecs shared by the stand-in program and its test fixture: Base64, MD5, UTF-8
// checks, JSON string quoting and a minimal JSON reader. Deliberately independent of the
// tool's own libraries, so that the stand-in checks the client against a second opinion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::test_support::wire {

// Standard Base64 with "=" padding and no line breaks.
[[nodiscard]] std::string base64_encode(std::string_view data);
// Strict standard Base64: length a multiple of 4, padding only at the end; nullopt otherwise.
// The empty text decodes to empty bytes.
[[nodiscard]] std::optional<std::string> base64_decode(std::string_view text);

// MD5 of `data` as 32 lower-case hex digits.
[[nodiscard]] std::string md5_hex(std::string_view data);

// True when `data` is well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
[[nodiscard]] bool valid_utf8(std::string_view data);

// `data` as the inside of a JSON string literal: the double quote, the backslash and the
// bytes below 0x20 are escaped (\n, \r, \t, \uXXXX); every other byte passes unchanged.
[[nodiscard]] std::string json_escape(std::string_view data);
// json_escape wrapped in double quotes.
[[nodiscard]] std::string json_quote(std::string_view data);

// A parsed JSON value. Strings hold UTF-8 (\u escapes decoded, surrogate pairs joined).
struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<JsonValue> items;             // array elements
  std::vector<std::string> member_names;    // object members, in order
  std::vector<JsonValue> member_values;

  // The member named `name`, or nullptr (also when this is no object).
  [[nodiscard]] const JsonValue* find(std::string_view name) const;
  // The member's number, string or bool; the fallback when it is missing or of another kind.
  [[nodiscard]] std::int64_t integer(std::string_view name, std::int64_t fallback = 0) const;
  [[nodiscard]] std::string text(std::string_view name, std::string fallback = {}) const;
  [[nodiscard]] bool flag(std::string_view name, bool fallback = false) const;
};

// Reads one JSON value (surrounding white space allowed); nullopt on any syntax error or
// nesting deeper than 64.
[[nodiscard]] std::optional<JsonValue> json_read(std::string_view text);

}  // namespace kestrin::test_support::wire
