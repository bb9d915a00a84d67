// A JSON value held in a private script-engine instance, read and changed by evaluating
// short generated script texts in that instance.
//
// The value lives in the engine's global "da". Each document has an engine of its own
// (created at its first use, and afresh at every parse, from the engine factory current at
// construction); a copy shares its source's engine until one of the two parses. Paths,
// values and expressions are inserted into the scripts verbatim: a path may name nested
// members (a.b, list[2].title), a quoted value must hold no "'" and no line break, and
// backslash sequences in it are read as escapes. A script that fails yields the empty value
// of the kind asked for (empty text, 0, false, -1 for a kind) and stores nothing. When no
// engine can be created every operation yields its empty value and writes nothing. A
// document is used only on the thread that built it.
#pragma once

#include <memory>

#include "json/script_engine.h"
#include "text/types.h"

namespace kestrin {

// Classifies a value: type_of returns it and reset takes it.
using JsonKind = int;
inline constexpr JsonKind kJsonNull = 0;    // null or undefined, a missing member included
inline constexpr JsonKind kJsonNumber = 2;
inline constexpr JsonKind kJsonObject = 4;
inline constexpr JsonKind kJsonArray = 5;
inline constexpr JsonKind kJsonString = 6;
inline constexpr JsonKind kJsonOther = -1;  // boolean, function, or a failed evaluation

class JsonDocument {
 public:
  // The value starts as an empty object.
  JsonDocument();
  // Shares the other's engine (and so its value) until one of the two parses.
  JsonDocument(const JsonDocument& other);
  JsonDocument& operator=(const JsonDocument& other);
  JsonDocument(JsonDocument&& other) noexcept;
  JsonDocument& operator=(JsonDocument&& other) noexcept;
  // Releases this document's reference to its engine.
  virtual ~JsonDocument();

  // Creates a new engine instance (on success it replaces the one held), then runs the
  // prelude and sets the value to an empty object on whatever engine is held. No result.
  virtual void init_engine();

  // Reads `json` as JSON data into a fresh engine instance. True when it is one JSON text
  // whose value is not null (0, false, "" and {} count); for null, and for anything that is
  // not JSON (empty text, an HTML page, truncated JSON, script code) the value is null and
  // the result false. Nothing of `json` ever runs. False when no engine can be created.
  // Nesting deeper than 1000 levels is refused.
  virtual bool parse(const Text& json);

  // The value as JSON text; empty when it has none (undefined) or on failure.
  [[nodiscard]] virtual Text to_json();

  // Member `member` becomes the string `value` (which must hold no "'" and no line break);
  // with as_script, the value of evaluating `value` as script ("{}" when it is empty).
  virtual void set_member(const Text& member, const Text& value, bool as_script = false);
  // Member `member` becomes the value of evaluating `expr` as script.
  virtual void set_member_script(const Text& member, const Text& expr);
  // Member `member` becomes `value` (written with 13 significant digits); a value that is
  // not finite stores nothing.
  virtual void set_member_number(const Text& member, double value);

  // The member as a number (see ScriptEngine::eval_number); 0 when missing or on failure.
  // A path beginning with "[" fails.
  [[nodiscard]] virtual double get_number(const Text& member);
  // The member's JSON text; empty when it is missing or on failure.
  [[nodiscard]] virtual Text get_member_json(const Text& member);

  // The member at `path` (a.b, or [0] on an array) as text. With as_json its JSON text.
  // Otherwise a number in "%.13g" form with a three-digit exponent (85, 0.5, 1e+020), a
  // string as its characters, true/false as "-1"/"0", an object as "[object Object]", an
  // array as its elements joined with ","; a missing or null member gives empty text. A path
  // beginning with "[" takes the plain number form (see ScriptEngine::eval_text).
  [[nodiscard]] virtual Text get_text(const Text& path, bool as_json = false);

  // A new, independent document holding a copy (through JSON text) of the member; a missing
  // member gives a document whose value is null.
  [[nodiscard]] virtual JsonDocument get_member_document(const Text& member);

  // The number of enumerable members of the target (the value when `path` is empty): an
  // object's members, an array's elements. 0 on failure; -2 for null or a missing member.
  [[nodiscard]] virtual int count(const Text& path = {});

  // Appends `value` (a string, or with raw the value of the script text) to the array at
  // `path`; a target that is not an array is first replaced by an empty array.
  virtual void push(const Text& value, const Text& path = {}, bool raw = false);

  // A new, independent document holding a copy of element `index` of the target.
  [[nodiscard]] virtual JsonDocument get_element_document(int index, const Text& path = {});
  // Element `index` of the target as text (plain number form), or its JSON text.
  [[nodiscard]] virtual Text get_element_text(int index, const Text& path = {},
                                              bool as_json = false);
  // Element `index` of the value becomes `value` (a string, or with raw the script value).
  virtual void set_element(int index, const Text& value, bool raw = false);
  // Removes element `index` of the value (an array), moving the later ones down.
  virtual void remove_element(int index);
  // Deletes the member.
  virtual void remove_member(const Text& member);

  // kJsonNull or kJsonObject: the value becomes an empty object; kJsonArray: an empty
  // array; any other kind leaves it unchanged.
  virtual void reset(JsonKind kind);
  // The whole value becomes `value` (a string, or with raw the script value).
  virtual void set_value(const Text& value, bool raw = false);

  // True when the member exists and is not null.
  [[nodiscard]] virtual bool has_member(const Text& member);

  // Replaces the content of `names` with the member names of the target (an array's
  // indices 0, 1, ...) in enumeration order and returns their number; 0 and an empty list
  // when there are none or on failure.
  virtual int member_names(TextList& names, const Text& path = {});

  // The kind of the target (the value when `path` is empty); a member of a missing parent
  // gives kJsonOther.
  [[nodiscard]] virtual JsonKind type_of(const Text& path = {});

  // The value becomes an empty object.
  virtual void clear();

 private:
  struct EngineSlot;

  // A new instance from the factory captured at construction; null when none can be made.
  [[nodiscard]] std::unique_ptr<ScriptEngine> make_engine() const;
  // True when the document has an engine, or is still due to make its first one.
  [[nodiscard]] bool holds_engine() const;
  // The engine, made now if the document has not used it yet; null when there is none.
  ScriptEngine* engine();
  void release_engine();
  // Runs the prelude and empties the value on whatever engine the slot holds.
  void prepare_engine();

  // The target of a path: the value itself, or its member `path` (joined with ".").
  [[nodiscard]] Text target(const Text& path) const;
  [[nodiscard]] Text eval_text(const Text& script);
  [[nodiscard]] double eval_number(const Text& script);
  [[nodiscard]] bool eval_bool(const Text& script);
  void eval(const Text& script);
  [[nodiscard]] JsonDocument document_from_json_of(const Text& expression);

  Text var_name_;
  std::shared_ptr<const ScriptEngineFactory> factory_;
  std::shared_ptr<EngineSlot> engine_;
};

}  // namespace kestrin
