// libFuzzer target: any byte sequence as a service reply, parsed and read the way the
// rewriting pipelines read it. Must never crash, hang or leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/json_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kestrin::Text reply(std::string_view(reinterpret_cast<const char*>(data), size));
  kestrin::JsonDocument document;
  static_cast<void>(document.parse(reply));
  static_cast<void>(document.get_text(kestrin::Text("str")));
  static_cast<void>(document.get_text(kestrin::Text("ck")));
  static_cast<void>(document.get_text(kestrin::Text("[0]")));
  static_cast<void>(document.get_text(kestrin::Text("str"), true));
  return 0;
}
