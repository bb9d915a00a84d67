// The Duktape engine behind ScriptEngine, its factory, and the number texts.
//
// Every call into a heap that can throw runs inside duk_safe_call, so a script error never
// unwinds through C++ frames; the safe-call bodies hold no C++ object with a destructor and
// leave their result on the value stack, where it is copied out after the call returns.
// Each heap allocates from a pool of its own that refuses growth past its limit, which turns
// a runaway script into a script error. Duktape keeps strings in CESU-8 (a character outside
// the BMP as two three-byte surrogates); the boundary converts GBK to that form and back.
#include "json/script_engine.h"

#include <duktape.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "text/codecs.h"

namespace kestrin {

namespace {

// ---------------------------------------------------------------------------------------
// Character boundary

// Length of the leading run of ASCII bytes, eight at a time where it can.
std::size_t ascii_prefix(std::string_view bytes) {
  std::size_t i = 0;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes.data() + i, sizeof word);
    if ((word & kHighBits) != 0) break;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  return i;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void append_three_bytes(std::string& out, std::uint32_t cp) {
  out += static_cast<char>(0xE0 | (cp >> 12));
  out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

constexpr std::uint32_t kInvalid = UINT32_MAX;

// Decodes one UTF-8 (or CESU-8) sequence at `i`. Returns its code point and sets `length`;
// returns kInvalid with length 1 for a byte that starts no valid sequence (overlong forms
// and values past U+10FFFF included). Surrogates encoded on their own are returned as such.
std::uint32_t decode_sequence(std::string_view s, std::size_t i, std::size_t& length) {
  length = 1;
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char b0 = byte(0);
  const std::size_t left = s.size() - i;
  if (b0 < 0x80) return b0;
  if (b0 >= 0xC2 && b0 <= 0xDF && left >= 2 && is_continuation(byte(1))) {
    length = 2;
    return ((b0 & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
  }
  if (b0 >= 0xE0 && b0 <= 0xEF && left >= 3 && is_continuation(byte(1)) && is_continuation(byte(2))) {
    const std::uint32_t cp = ((b0 & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
    if (cp < 0x800) return kInvalid;
    length = 3;
    return cp;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4 && left >= 4 && is_continuation(byte(1)) && is_continuation(byte(2)) &&
      is_continuation(byte(3))) {
    const std::uint32_t cp =
        ((b0 & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) | ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return kInvalid;
    length = 4;
    return cp;
  }
  return kInvalid;
}

bool is_surrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
bool is_high_surrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDBFF; }
bool is_low_surrogate(std::uint32_t cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

// UTF-8 to the engine's CESU-8: a character outside the BMP becomes its surrogate pair;
// anything that is not valid UTF-8 (lone surrogates included) becomes "?". Text that needs
// no change is handed back as it is.
std::string utf8_to_cesu8(std::string utf8) {
  const std::string_view in = utf8;
  std::string out;
  bool changed = false;
  std::size_t copied = 0;  // bytes of `in` already accounted for in `out`
  for (std::size_t i = ascii_prefix(in); i < in.size();) {
    if (static_cast<unsigned char>(in[i]) < 0x80) {
      i += ascii_prefix(in.substr(i));
      continue;
    }
    std::size_t length = 1;
    const std::uint32_t cp = decode_sequence(in, i, length);
    const bool invalid = cp == kInvalid || is_surrogate(cp);
    if (invalid || length == 4) {
      if (!changed) {
        out.reserve(in.size() + in.size() / 4);
        changed = true;
      }
      out.append(in.substr(copied, i - copied));
      if (invalid) {
        out += '?';
      } else {
        const std::uint32_t v = cp - 0x10000;
        append_three_bytes(out, 0xD800 + (v >> 10));
        append_three_bytes(out, 0xDC00 + (v & 0x3FF));
      }
      copied = i + length;
    }
    i += length;
  }
  if (!changed) return utf8;
  out.append(in.substr(copied));
  return out;
}

// The engine's string bytes to UTF-8: a surrogate pair becomes its four-byte character;
// a lone surrogate and any invalid sequence become "?".
std::string cesu8_to_utf8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  std::size_t copied = 0;
  for (std::size_t i = ascii_prefix(in); i < in.size();) {
    if (static_cast<unsigned char>(in[i]) < 0x80) {
      i += ascii_prefix(in.substr(i));
      continue;
    }
    std::size_t length = 1;
    const std::uint32_t cp = decode_sequence(in, i, length);
    if (cp != kInvalid && !is_surrogate(cp)) {
      i += length;
      continue;
    }
    out.append(in.substr(copied, i - copied));
    std::size_t low_length = 1;
    const std::uint32_t low =
        is_high_surrogate(cp) && i + length < in.size() ? decode_sequence(in, i + length, low_length) : kInvalid;
    if (low != kInvalid && is_low_surrogate(low)) {
      const std::uint32_t full = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      out += static_cast<char>(0xF0 | (full >> 18));
      out += static_cast<char>(0x80 | ((full >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((full >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (full & 0x3F));
      length += low_length;
    } else {
      out += '?';
    }
    i += length;
    copied = i;
  }
  out.append(in.substr(copied));
  return out;
}

// A GBK script text as the engine's string bytes.
std::string to_engine(const Text& text) {
  if (ascii_prefix(text.view()) == text.size()) return text.str();
  return utf8_to_cesu8(gbk_to_utf8(text).str());
}

// The engine's string bytes as GBK, ending at the first U+0000.
Text from_engine(std::string_view bytes) {
  if (const void* zero = std::memchr(bytes.data(), 0, bytes.size())) {
    bytes = bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(zero) - bytes.data()));
  }
  if (ascii_prefix(bytes) == bytes.size()) return Text(bytes);
  return utf8_to_gbk(Text(cesu8_to_utf8(bytes)));
}

// ---------------------------------------------------------------------------------------
// Heap memory: a pool per heap with a budget
//
// Small blocks are carved from 64 KiB chunks in 16-byte size classes and go back to a free
// list of their class; larger ones come from malloc. Every block carries its size in a
// 16-byte header. The pool refuses to grow past its limit, and gives its chunks back when it
// is destroyed (after the heap). A thread keeps a few spare chunks for the next heap it
// creates, since documents make a new heap at every parse.

constexpr std::size_t kChunkSize = 64 * 1024;

// The spare chunks live in plain thread-local storage, valid for the whole life of the
// thread; one thread-local object frees them when the thread ends, after which chunks given
// back are freed at once (a heap may be destroyed during static destruction).
constexpr std::size_t kSpareChunksKept = 8;
thread_local void* t_spare_chunks[kSpareChunksKept] = {};
thread_local std::size_t t_spare_count = 0;
thread_local bool t_spares_closed = false;

struct SpareChunksCleanup {
  SpareChunksCleanup() = default;
  SpareChunksCleanup(const SpareChunksCleanup&) = delete;
  SpareChunksCleanup& operator=(const SpareChunksCleanup&) = delete;
  ~SpareChunksCleanup() {
    while (t_spare_count > 0) std::free(t_spare_chunks[--t_spare_count]);
    t_spares_closed = true;
  }
};

void* take_chunk() {
  if (t_spare_count > 0) return t_spare_chunks[--t_spare_count];
  return std::malloc(kChunkSize);
}

void give_chunk(void* chunk) {
  if (!t_spares_closed && t_spare_count < kSpareChunksKept) {
    thread_local SpareChunksCleanup cleanup;  // registered with the first chunk kept
    t_spare_chunks[t_spare_count++] = chunk;
  } else {
    std::free(chunk);
  }
}

class HeapPool {
 public:
  explicit HeapPool(std::size_t limit) : limit_(limit) {}
  HeapPool(const HeapPool&) = delete;
  HeapPool& operator=(const HeapPool&) = delete;
  ~HeapPool() {
    while (chunks_ != nullptr) {
      Chunk* next = chunks_->next;
      give_chunk(chunks_);
      chunks_ = next;
    }
  }

  void* allocate(std::size_t size) {
    if (size > kMaxRequest) return nullptr;
    const std::size_t total = block_total(size);
    char* block = nullptr;
    if (total <= kMaxSmall) {
      FreeBlock*& head = free_[total / kGranule - 1];
      if (head != nullptr) {
        block = reinterpret_cast<char*>(head);
        head = head->next;
      } else {
        if (static_cast<std::size_t>(end_ - cursor_) < total && !add_chunk()) return nullptr;
        block = cursor_;
        cursor_ += total;
      }
    } else {
      if (total > limit_ - used_) return nullptr;
      block = static_cast<char*>(std::malloc(total));
      if (block == nullptr) return nullptr;
      used_ += total;
    }
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
  }

  void release(void* ptr) {
    if (ptr == nullptr) return;
    char* block = static_cast<char*>(ptr) - kHeader;
    const std::size_t total = block_total(size_of(block));
    if (total <= kMaxSmall) {
      auto* freed = reinterpret_cast<FreeBlock*>(block);
      freed->next = free_[total / kGranule - 1];
      free_[total / kGranule - 1] = freed;
    } else {
      used_ -= total;
      std::free(block);
    }
  }

  void* reallocate(void* ptr, std::size_t size) {
    if (ptr == nullptr) return allocate(size);
    if (size == 0) {
      release(ptr);
      return nullptr;
    }
    if (size > kMaxRequest) return nullptr;
    char* block = static_cast<char*>(ptr) - kHeader;
    const std::size_t old_size = size_of(block);
    const std::size_t old_total = block_total(old_size);
    const std::size_t total = block_total(size);
    if (old_total <= kMaxSmall && total <= kMaxSmall && old_total == total) {
      std::memcpy(block, &size, sizeof size);
      return ptr;
    }
    if (old_total > kMaxSmall && total > kMaxSmall) {
      if (total > old_total && total - old_total > limit_ - used_) return nullptr;
      char* moved = static_cast<char*>(std::realloc(block, total));
      if (moved == nullptr) return nullptr;
      used_ = used_ - old_total + total;
      std::memcpy(moved, &size, sizeof size);
      return moved + kHeader;
    }
    void* fresh = allocate(size);
    if (fresh == nullptr) return nullptr;
    std::memcpy(fresh, ptr, old_size < size ? old_size : size);
    release(ptr);
    return fresh;
  }

 private:
  static constexpr std::size_t kHeader = 16;
  static constexpr std::size_t kGranule = 16;
  static constexpr std::size_t kMaxSmall = 1024;  // blocks up to this size, header included
  static constexpr std::size_t kMaxRequest = SIZE_MAX / 2;

  struct Chunk {
    Chunk* next;
  };
  struct FreeBlock {
    FreeBlock* next;
  };

  static std::size_t block_total(std::size_t size) { return (size + kHeader + kGranule - 1) / kGranule * kGranule; }
  static std::size_t size_of(const char* block) {
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    return size;
  }

  bool add_chunk() {
    if (kChunkSize > limit_ - used_) return false;
    auto* chunk = static_cast<Chunk*>(take_chunk());
    if (chunk == nullptr) return false;
    used_ += kChunkSize;
    chunk->next = chunks_;
    chunks_ = chunk;
    cursor_ = reinterpret_cast<char*>(chunk) + kHeader;
    end_ = reinterpret_cast<char*>(chunk) + kChunkSize;
    return true;
  }

  std::size_t limit_;
  std::size_t used_ = 0;
  Chunk* chunks_ = nullptr;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
  FreeBlock* free_[kMaxSmall / kGranule] = {};
};

void* pool_alloc(void* udata, duk_size_t size) { return static_cast<HeapPool*>(udata)->allocate(size); }
void* pool_realloc(void* udata, void* ptr, duk_size_t size) {
  return static_cast<HeapPool*>(udata)->reallocate(ptr, size);
}
void pool_free(void* udata, void* ptr) { static_cast<HeapPool*>(udata)->release(ptr); }

// Reached only for an error outside every protected call, which this file never makes.
void on_fatal(void* /*udata*/, const char* /*message*/) { std::abort(); }

struct HeapDeleter {
  void operator()(duk_context* ctx) const noexcept { duk_destroy_heap(ctx); }
};
using HeapPtr = std::unique_ptr<duk_context, HeapDeleter>;

// ---------------------------------------------------------------------------------------
// Compiled global code, kept per code text so that a new instance loads the prelude as
// bytecode instead of compiling it again. Small and bounded.

constexpr std::size_t kCodeCacheEntries = 8;
constexpr std::size_t kCodeCacheMaxText = 64 * 1024;

struct CodeCache {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const std::string>, std::less<>> bytecode;
};

CodeCache& code_cache() {
  static CodeCache cache;
  return cache;
}

std::shared_ptr<const std::string> cached_bytecode(std::string_view code) {
  CodeCache& cache = code_cache();
  std::lock_guard lock(cache.mutex);
  auto it = cache.bytecode.find(code);
  return it == cache.bytecode.end() ? nullptr : it->second;
}

void remember_bytecode(std::string_view code, std::string bytecode) {
  if (code.size() > kCodeCacheMaxText) return;
  CodeCache& cache = code_cache();
  std::lock_guard lock(cache.mutex);
  if (cache.bytecode.size() >= kCodeCacheEntries) return;
  cache.bytecode.emplace(std::string(code), std::make_shared<const std::string>(std::move(bytecode)));
}

// ---------------------------------------------------------------------------------------
// Safe-call bodies. Each leaves exactly one value on the stack.

struct SourceArg {
  const char* data;
  std::size_t size;
};

// Reduces the value on top to undefined, null, a boolean, a number or a string (an object
// through its string conversion; a symbol throws).
void reduce_to_primitive(duk_context* ctx) {
  switch (duk_get_type(ctx, -1)) {
    case DUK_TYPE_UNDEFINED:
    case DUK_TYPE_NULL:
    case DUK_TYPE_BOOLEAN:
    case DUK_TYPE_NUMBER:
      break;
    case DUK_TYPE_STRING:
      if (duk_is_symbol(ctx, -1)) duk_to_string(ctx, -1);
      break;
    default:
      duk_to_string(ctx, -1);
      break;
  }
}

// Evaluates the source as global eval code and reduces its value.
duk_ret_t eval_to_primitive(duk_context* ctx, void* udata) {
  const auto* source = static_cast<const SourceArg*>(udata);
  duk_eval_lstring(ctx, source->data, source->size);
  reduce_to_primitive(ctx);
  return 1;
}

// The few script shapes a document evaluates most (reading a member path, testing it
// against null, asking its typeof, declaring the value) are carried out directly on the
// heap, with the same results and errors as compiling them, instead of being compiled.
// Anything else, any other spacing included, is compiled.
enum class Shape { kNone, kValue, kIsNull, kIsNotNull, kTypeOf, kDeclareObject, kDeclareNull };

struct ShapedScript {
  Shape shape = Shape::kNone;
  std::string_view path;  // a member path, or the declared name
};

bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$'; }
bool is_name_part(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

bool is_plain_name(std::string_view name) {
  if (name.empty() || !is_name_start(name[0])) return false;
  for (char c : name) {
    if (!is_name_part(c)) return false;
  }
  return true;
}

// Names that cannot stand as an identifier reference, literals included.
bool is_reserved_word(std::string_view name) {
  static constexpr std::string_view kReserved[] = {
      "await",      "break",     "case",    "catch",   "class",   "const",     "continue", "debugger",
      "default",    "delete",    "do",      "else",    "enum",    "export",    "extends",  "false",
      "finally",    "for",       "function", "if",     "implements", "import", "in",       "instanceof",
      "interface",  "let",       "new",     "null",    "package", "private",   "protected", "public",
      "return",     "static",    "super",   "switch",  "this",    "throw",     "true",     "try",
      "typeof",     "var",       "void",    "while",   "with",    "yield"};
  for (std::string_view word : kReserved) {
    if (name == word) return true;
  }
  return false;
}

// A global identifier followed by any number of "." and a property name.
bool is_member_path(std::string_view path) {
  std::size_t dot = path.find('.');
  const std::string_view first = path.substr(0, dot);
  if (!is_plain_name(first) || is_reserved_word(first)) return false;
  while (dot != std::string_view::npos) {
    path.remove_prefix(dot + 1);
    dot = path.find('.');
    if (!is_plain_name(path.substr(0, dot))) return false;
  }
  return true;
}

ShapedScript recognise(std::string_view source) {
  auto take = [&](Shape shape, std::string_view path) {
    return is_member_path(path) ? ShapedScript{shape, path} : ShapedScript{};
  };
  auto starts = [&](std::string_view prefix) { return source.substr(0, prefix.size()) == prefix; };
  auto ends = [&](std::string_view suffix) {
    return source.size() >= suffix.size() && source.substr(source.size() - suffix.size()) == suffix;
  };
  if (starts("var ")) {
    const std::string_view rest = source.substr(4);
    const std::size_t equals = rest.find('=');
    if (equals == std::string_view::npos) return {};
    const std::string_view name = rest.substr(0, equals);
    const std::string_view value = rest.substr(equals + 1);
    if (!is_plain_name(name) || is_reserved_word(name)) return {};
    if (value == "{}") return {Shape::kDeclareObject, name};
    if (value == "null") return {Shape::kDeclareNull, name};
    return {};
  }
  if (starts("null !=")) return take(Shape::kIsNotNull, source.substr(7));
  if (starts("typeof (") && ends(")")) return take(Shape::kTypeOf, source.substr(8, source.size() - 9));
  if (ends("==null")) return take(Shape::kIsNull, source.substr(0, source.size() - 6));
  return take(Shape::kValue, source);
}

// Pushes the value of a member path as the script would read it: an undeclared identifier
// is a ReferenceError (undefined for a bare name under typeof), a member of undefined or
// null a TypeError.
void push_member_path(duk_context* ctx, std::string_view path, bool under_typeof) {
  std::size_t dot = path.find('.');
  const std::string_view first = path.substr(0, dot);
  duk_push_global_object(ctx);
  if (!duk_has_prop_lstring(ctx, -1, first.data(), first.size())) {
    if (under_typeof && dot == std::string_view::npos) {
      duk_pop(ctx);
      duk_push_undefined(ctx);
      return;
    }
    (void)duk_reference_error(ctx, "identifier not defined");
  }
  duk_get_prop_lstring(ctx, -1, first.data(), first.size());
  duk_remove(ctx, -2);
  while (dot != std::string_view::npos) {
    path.remove_prefix(dot + 1);
    dot = path.find('.');
    const std::string_view name = path.substr(0, dot);
    duk_get_prop_lstring(ctx, -1, name.data(), name.size());
    duk_remove(ctx, -2);
  }
}

// The typeof text of the value on top.
const char* type_name(duk_context* ctx) {
  switch (duk_get_type(ctx, -1)) {
    case DUK_TYPE_UNDEFINED:
      return "undefined";
    case DUK_TYPE_BOOLEAN:
      return "boolean";
    case DUK_TYPE_NUMBER:
      return "number";
    case DUK_TYPE_STRING:
      return duk_is_symbol(ctx, -1) ? "symbol" : "string";
    case DUK_TYPE_POINTER:
      return "pointer";
    case DUK_TYPE_LIGHTFUNC:
      return "function";
    case DUK_TYPE_OBJECT:
      return duk_is_callable(ctx, -1) ? "function" : "object";
    default:  // null, plain buffers
      return "object";
  }
}

duk_ret_t eval_shaped(duk_context* ctx, void* udata) {
  const auto* script = static_cast<const ShapedScript*>(udata);
  switch (script->shape) {
    case Shape::kDeclareObject:
    case Shape::kDeclareNull:
      duk_push_global_object(ctx);
      if (script->shape == Shape::kDeclareObject) {
        duk_push_object(ctx);
      } else {
        duk_push_null(ctx);
      }
      duk_put_prop_lstring(ctx, -2, script->path.data(), script->path.size());
      duk_pop(ctx);
      duk_push_undefined(ctx);
      return 1;
    case Shape::kIsNull:
    case Shape::kIsNotNull: {
      push_member_path(ctx, script->path, false);
      const bool is_null = duk_is_null_or_undefined(ctx, -1) != 0;
      duk_pop(ctx);
      duk_push_boolean(ctx, script->shape == Shape::kIsNull ? is_null : !is_null);
      return 1;
    }
    case Shape::kTypeOf: {
      push_member_path(ctx, script->path, true);
      const char* name = type_name(ctx);
      duk_pop(ctx);
      duk_push_string(ctx, name);
      return 1;
    }
    default:
      push_member_path(ctx, script->path, false);
      reduce_to_primitive(ctx);
      return 1;
  }
}

struct CodeArg {
  const char* data;
  std::size_t size;
  const std::string* bytecode;  // null: compile, and leave the bytecode as the result
};

duk_ret_t run_code(duk_context* ctx, void* udata) {
  const auto* code = static_cast<const CodeArg*>(udata);
  if (code->bytecode != nullptr) {
    void* buffer = duk_push_fixed_buffer(ctx, code->bytecode->size());
    std::memcpy(buffer, code->bytecode->data(), code->bytecode->size());
    duk_load_function(ctx);
    duk_call(ctx, 0);
    duk_pop(ctx);
    duk_push_undefined(ctx);
    return 1;
  }
  duk_compile_lstring(ctx, 0, code->data, code->size);
  duk_dup(ctx, -1);
  duk_dump_function(ctx);
  duk_insert(ctx, -2);
  duk_call(ctx, 0);
  duk_pop(ctx);
  return 1;
}

struct JsonArg {
  const char* name;
  std::size_t name_size;
  const char* data;
  std::size_t size;
};

duk_ret_t decode_json_into_global(duk_context* ctx, void* udata) {
  const auto* json = static_cast<const JsonArg*>(udata);
  duk_push_lstring(ctx, json->data, json->size);
  duk_json_decode(ctx, -1);
  duk_put_global_lstring(ctx, json->name, json->name_size);
  duk_push_true(ctx);
  return 1;
}

bool speaks(const Text& language) {
  auto equal_ignoring_case = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      char x = a[i];
      char y = b[i];
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
      if (x != y) return false;
    }
    return true;
  };
  return equal_ignoring_case(language.view(), "javascript") || equal_ignoring_case(language.view(), "jscript");
}

class DuktapeEngine final : public ScriptEngine {
 public:
  explicit DuktapeEngine(std::size_t memory_limit) : pool_(std::make_unique<HeapPool>(memory_limit)) {
    heap_.reset(duk_create_heap(pool_alloc, pool_realloc, pool_free, pool_.get(), on_fatal));
  }

  [[nodiscard]] bool valid() const { return heap_ != nullptr; }

  bool set_language(const Text& language) override {
    language_set_ = speaks(language);
    return language_set_;
  }

  bool add_code(const Text& code) override {
    if (!language_set_) return false;
    const std::string source = to_engine(code);
    const std::shared_ptr<const std::string> bytecode = cached_bytecode(source);
    CodeArg arg{source.data(), source.size(), bytecode.get()};
    duk_context* ctx = heap_.get();
    const bool ok = duk_safe_call(ctx, run_code, &arg, 0, 1) == DUK_EXEC_SUCCESS;
    if (ok && bytecode == nullptr && duk_is_buffer_data(ctx, -1)) {
      duk_size_t size = 0;
      const void* data = duk_get_buffer_data(ctx, -1, &size);
      if (data != nullptr) remember_bytecode(source, std::string(static_cast<const char*>(data), size));
    }
    duk_pop(ctx);
    return ok;
  }

  Text eval_text(const Text& script) override {
    Text result;
    if (!evaluate(script)) return result;
    duk_context* ctx = heap_.get();
    switch (duk_get_type(ctx, -1)) {
      case DUK_TYPE_STRING: {
        duk_size_t size = 0;
        const char* data = duk_get_lstring(ctx, -1, &size);
        result = from_engine(std::string_view(data, size));
        break;
      }
      case DUK_TYPE_NUMBER:
        result = number_to_plain_text(duk_get_number(ctx, -1));
        break;
      case DUK_TYPE_BOOLEAN:
        result = Text(duk_get_boolean(ctx, -1) ? "-1" : "0");
        break;
      default:
        break;
    }
    duk_pop(ctx);
    return result;
  }

  double eval_number(const Text& script) override {
    double result = 0;
    if (!evaluate(script)) return result;
    duk_context* ctx = heap_.get();
    switch (duk_get_type(ctx, -1)) {
      case DUK_TYPE_STRING: {
        duk_size_t size = 0;
        const char* data = duk_get_lstring(ctx, -1, &size);
        result = text_to_number(Text(std::string_view(data, size)));
        break;
      }
      case DUK_TYPE_NUMBER:
        result = duk_get_number(ctx, -1);
        break;
      case DUK_TYPE_BOOLEAN:
        result = duk_get_boolean(ctx, -1) ? -1 : 0;
        break;
      default:
        break;
    }
    duk_pop(ctx);
    return result;
  }

  bool eval_bool(const Text& script) override {
    bool result = false;
    if (!evaluate(script)) return result;
    duk_context* ctx = heap_.get();
    if (duk_is_boolean(ctx, -1)) {
      result = duk_get_boolean(ctx, -1) != 0;
    } else if (duk_is_number(ctx, -1)) {
      const double number = duk_get_number(ctx, -1);
      result = number != 0 && !std::isnan(number);
    }
    duk_pop(ctx);
    return result;
  }

  void eval(const Text& script) override {
    if (evaluate(script)) duk_pop(heap_.get());
  }

  bool assign_json(const Text& name, const Text& json) override {
    if (!language_set_) return false;
    const std::string engine_name = to_engine(name);
    const std::string source = to_engine(json);
    JsonArg arg{engine_name.data(), engine_name.size(), source.data(), source.size()};
    duk_context* ctx = heap_.get();
    const bool ok = duk_safe_call(ctx, decode_json_into_global, &arg, 0, 1) == DUK_EXEC_SUCCESS;
    duk_pop(ctx);
    return ok;
  }

 private:
  // Runs the script; on success its reduced value is on the stack (the caller pops it),
  // on failure the stack is as before.
  bool evaluate(const Text& script) {
    if (!language_set_) return false;
    const std::string source = to_engine(script);
    duk_context* ctx = heap_.get();
    ShapedScript shaped = recognise(source);
    duk_int_t status = DUK_EXEC_ERROR;
    if (shaped.shape != Shape::kNone) {
      status = duk_safe_call(ctx, eval_shaped, &shaped, 0, 1);
    } else {
      SourceArg arg{source.data(), source.size()};
      status = duk_safe_call(ctx, eval_to_primitive, &arg, 0, 1);
    }
    if (status == DUK_EXEC_SUCCESS) return true;
    duk_pop(ctx);
    return false;
  }

  std::unique_ptr<HeapPool> pool_;  // outlives heap_, which allocates from it
  HeapPtr heap_;
  bool language_set_ = false;
};

// ---------------------------------------------------------------------------------------
// Factory

struct FactoryHolder {
  std::mutex mutex;
  std::shared_ptr<const ScriptEngineFactory> current;
};

std::shared_ptr<const ScriptEngineFactory> duktape_factory() {
  static const auto factory =
      std::make_shared<const ScriptEngineFactory>([] { return create_duktape_engine(); });
  return factory;
}

FactoryHolder& factory_holder() {
  static FactoryHolder holder{{}, duktape_factory()};
  return holder;
}

}  // namespace

std::unique_ptr<ScriptEngine> create_duktape_engine(std::size_t memory_limit) {
  auto engine = std::make_unique<DuktapeEngine>(memory_limit);
  if (!engine->valid()) return nullptr;
  return engine;
}

std::shared_ptr<const ScriptEngineFactory> current_script_engine_factory() {
  FactoryHolder& holder = factory_holder();
  std::lock_guard lock(holder.mutex);
  return holder.current;
}

std::unique_ptr<ScriptEngine> create_script_engine() {
  const std::shared_ptr<const ScriptEngineFactory> factory = current_script_engine_factory();
  return (*factory)();
}

ScriptEngineFactory set_script_engine_factory(ScriptEngineFactory factory) {
  auto replacement = factory ? std::make_shared<const ScriptEngineFactory>(std::move(factory)) : duktape_factory();
  FactoryHolder& holder = factory_holder();
  std::shared_ptr<const ScriptEngineFactory> previous;
  {
    std::lock_guard lock(holder.mutex);
    previous = std::exchange(holder.current, std::move(replacement));
  }
  return *previous;
}

// ---------------------------------------------------------------------------------------
// Number texts

Text number_to_plain_text(double value) {
  if (std::isnan(value)) return Text("NaN");
  if (std::isinf(value)) return Text(value > 0 ? "Infinity" : "-Infinity");
  if (value == 0) return Text("0");
  char buffer[64];
  std::to_chars_result written{};
  if (std::trunc(value) == value && std::fabs(value) < 1e21) {
    written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 0);
  } else {
    written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  }
  if (written.ec != std::errc()) return Text();
  return Text(std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer)));
}

Text number_to_g13_text(double value) {
  if (std::isnan(value)) return Text("nan");
  if (std::isinf(value)) return Text(value > 0 ? "inf" : "-inf");
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 13);
  if (written.ec != std::errc()) return Text();
  std::string text(buffer, written.ptr);
  if (const auto e = text.find('e'); e != std::string::npos) {
    const std::size_t digits = text.size() - (e + 2);  // after the letter and its sign
    if (digits < 3) text.insert(e + 2, 3 - digits, '0');
  }
  return Text(std::move(text));
}

double text_to_number(const Text& text) {
  std::string_view s = text.view();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  const bool starts_like_number =
      !s.empty() && ((s[0] >= '0' && s[0] <= '9') || (s[0] == '.' && s.size() > 1 && s[1] >= '0' && s[1] <= '9'));
  if (!starts_like_number) return 0;
  double value = 0;
  const auto read = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (read.ec != std::errc() || read.ptr != s.data() + s.size()) return 0;
  return negative ? -value : value;
}

}  // namespace kestrin
