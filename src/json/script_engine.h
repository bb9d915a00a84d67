// The script engine that holds a JSON document's value: one JavaScript instance with a
// global scope of its own, driven by script texts.
//
// Script texts and text results are GBK `Text`; the engine converts them to and from its
// own strings. A character GBK cannot represent comes back as "?", and a text result ends
// at its first U+0000. Every evaluation is protected: a syntax error, a thrown error, a
// member of null or a value that cannot be converted yields the empty value of the kind
// asked for (empty text, 0, false), and the instance stays usable. Nothing is shown or
// logged. An instance is used only on the thread that created it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "text/types.h"

namespace kestrin {

class ScriptEngine {
 public:
  ScriptEngine() = default;
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;
  // Releases the instance and everything it holds.
  virtual ~ScriptEngine() = default;

  // Selects the script language; true when the engine speaks it ("JavaScript" or "JScript",
  // any letter case). Until a language it speaks is set, code neither runs nor evaluates.
  virtual bool set_language(const Text& language) = 0;

  // Runs `code` as global code of the instance; its value is dropped. False when it does not
  // compile or throws (whatever ran before the error stays done).
  virtual bool add_code(const Text& code) = 0;

  // Evaluates `script` in the global scope (an expression's value, or the value of the last
  // expression statement executed) and converts it to text: a string as its characters; a
  // number as plain digits when it is an integer below 1e21 in size, else with up to 15
  // significant digits (0.5, 0.333333333333333, 1e+21; NaN, Infinity, -Infinity); true
  // and false as "-1" and "0"; null, undefined and no value as empty text; an object through
  // its ECMAScript string conversion ("[object Object]", an array's elements joined with ",").
  [[nodiscard]] virtual Text eval_text(const Text& script) = 0;

  // As eval_text, converted to a number: a number as it is; true and false as -1 and 0;
  // a string as the decimal number it spells (blanks around it allowed), else 0; null,
  // undefined and no value as 0; an object as the number its string conversion spells.
  [[nodiscard]] virtual double eval_number(const Text& script) = 0;

  // As eval_text, as a bool: true when the value is true or a non-zero number.
  [[nodiscard]] virtual bool eval_bool(const Text& script) = 0;

  // As eval_text, with the value dropped.
  virtual void eval(const Text& script) = 0;

  // Reads `json` as JSON data with the engine's own JSON parser, never as script, and stores
  // the value in the global variable `name`. True when `json` is one JSON text; otherwise
  // the global keeps its value and false is returned. Nothing in `json` ever runs.
  virtual bool assign_json(const Text& name, const Text& json) = 0;
};

// Makes a new engine instance; null when none can be created.
using ScriptEngineFactory = std::function<std::unique_ptr<ScriptEngine>()>;

// A new instance from the current factory (Duktape unless replaced); null when it cannot
// be created. Safe to call from any thread.
[[nodiscard]] std::unique_ptr<ScriptEngine> create_script_engine();

// The current factory, as held at the moment of the call (never empty).
[[nodiscard]] std::shared_ptr<const ScriptEngineFactory> current_script_engine_factory();

// Replaces the factory for every instance created from now on and returns the one it
// replaces; an empty factory restores the Duktape one. Meant for tests ("the engine cannot
// be created"); safe against concurrent create_script_engine calls.
ScriptEngineFactory set_script_engine_factory(ScriptEngineFactory factory);

// The heap size one Duktape instance may use at most; an allocation beyond it fails inside
// the script (an error, so the evaluation yields its empty value) instead of growing on.
inline constexpr std::size_t kDefaultScriptMemoryLimit = std::size_t{512} << 20;

// A Duktape instance whose heap may hold at most `memory_limit` bytes; null when the heap
// cannot be created.
[[nodiscard]] std::unique_ptr<ScriptEngine> create_duktape_engine(
    std::size_t memory_limit = kDefaultScriptMemoryLimit);

// Number texts shared by the engine and the document, independent of the C locale.
// Integers below 1e21 in size as plain digits ("-0" as "0"); other finite numbers with up
// to 15 significant digits in the shortest of fixed and exponent form ("1e+21", "1.5e-07");
// NaN, Infinity and -Infinity by those names.
[[nodiscard]] Text number_to_plain_text(double value);

// As printf "%.13g" with an exponent of at least three digits: 85, 0.5, 0.3333333333333,
// 1e+020, 1e-005. Non-finite values give "inf", "-inf" and "nan".
[[nodiscard]] Text number_to_g13_text(double value);

// The number a text spells: optional blanks, an optional sign, decimal digits with an
// optional fraction and exponent, optional blanks. Anything else, and empty text, gives 0.
[[nodiscard]] double text_to_number(const Text& text);

}  // namespace kestrin
