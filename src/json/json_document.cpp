// JsonDocument: every operation composes a short script text and has the document's own
// engine instance evaluate it; nothing of the value is held on this side.
//
// A document makes its engine when it is first used rather than at construction, so that
// the usual construct-then-parse costs one instance (parse needs a fresh one anyway). The
// slot that will hold it is shared with copies from the start, so a copy made before the
// first use still shares the instance its source ends up with.
#include "json/json_document.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "text/text_ops.h"

namespace kestrin {

namespace {

// Installed in every new instance. The counting function subtracts the two enumerable
// methods that the second statement puts on every object; the engine's own JSON object
// serves stringify and parse.
constexpr const char* kPrelude =
    "function get__count(c){var i=-2;for(v in c)i++;return i}"
    "if(!Object.prototype.toJSONString){Object.prototype.toJSONString=function(filter){return "
    "JSON.stringify(this,filter)};Object.prototype.parseJSON=function(filter){return "
    "JSON.parse(this,filter)}}";

Text decimal(int value) { return Text(std::to_string(value)); }

bool starts_with_bracket(const Text& path) { return !path.empty() && path.at(0) == '['; }

// The separator between the value and a path: none before "[", else ".".
Text separator_for(const Text& path) { return Text(starts_with_bracket(path) ? "" : "."); }

Text quote_unless(bool raw) { return Text(raw ? "" : "'"); }

}  // namespace

struct JsonDocument::EngineSlot {
  std::unique_ptr<ScriptEngine> engine;
  bool pending = true;  // not made yet: made from the factory on first use
};

JsonDocument::JsonDocument()
    : var_name_("da"),
      factory_(current_script_engine_factory()),
      engine_(std::make_shared<EngineSlot>()) {}

JsonDocument::JsonDocument(const JsonDocument& other) = default;
JsonDocument& JsonDocument::operator=(const JsonDocument& other) = default;
JsonDocument::JsonDocument(JsonDocument&& other) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept = default;

JsonDocument::~JsonDocument() { release_engine(); }

void JsonDocument::release_engine() { engine_.reset(); }

std::unique_ptr<ScriptEngine> JsonDocument::make_engine() const {
  if (!factory_ || !*factory_) return nullptr;
  try {
    return (*factory_)();
  } catch (...) {
    return nullptr;
  }
}

bool JsonDocument::holds_engine() const { return engine_ && (engine_->pending || engine_->engine); }

ScriptEngine* JsonDocument::engine() {
  if (!engine_) return nullptr;
  if (engine_->pending) {
    engine_->pending = false;
    engine_->engine = make_engine();
    prepare_engine();
  }
  return engine_->engine.get();
}

void JsonDocument::prepare_engine() {
  ScriptEngine* instance = engine_ ? engine_->engine.get() : nullptr;
  if (instance == nullptr) return;
  instance->set_language(Text("JavaScript"));
  instance->add_code(Text(kPrelude));
  instance->eval(join_texts({"var ", var_name_, "={}"}));
}

void JsonDocument::init_engine() {
  if (auto fresh = make_engine()) {
    engine_ = std::make_shared<EngineSlot>();
    engine_->engine = std::move(fresh);
    engine_->pending = false;
  } else if (engine_ && engine_->pending) {
    engine();  // the instance the document was due to make, prepared as it is made
    return;
  }
  prepare_engine();
}

bool JsonDocument::parse(const Text& json) {
  // Every parse starts in a fresh instance; a document without one stays without.
  if (!holds_engine()) return false;
  release_engine();
  init_engine();
  ScriptEngine* instance = engine();
  if (instance == nullptr) return false;
  instance->eval(join_texts({"var ", var_name_, "=null"}));
  // Read as data: nothing of the reply is ever evaluated as script.
  instance->assign_json(var_name_, json);
  return instance->eval_bool(join_texts({"null !=", var_name_}));
}

Text JsonDocument::target(const Text& path) const {
  return path.empty() ? var_name_ : join_texts({var_name_, ".", path});
}

Text JsonDocument::eval_text(const Text& script) {
  ScriptEngine* instance = engine();
  return instance != nullptr ? instance->eval_text(script) : Text();
}

double JsonDocument::eval_number(const Text& script) {
  ScriptEngine* instance = engine();
  return instance != nullptr ? instance->eval_number(script) : 0;
}

bool JsonDocument::eval_bool(const Text& script) {
  ScriptEngine* instance = engine();
  return instance != nullptr && instance->eval_bool(script);
}

void JsonDocument::eval(const Text& script) {
  if (ScriptEngine* instance = engine()) instance->eval(script);
}

Text JsonDocument::to_json() { return eval_text(join_texts({"JSON.stringify(", var_name_, ")"})); }

void JsonDocument::set_member(const Text& member, const Text& value, bool as_script) {
  if (as_script) {
    set_member_script(member, value.empty() ? Text("{}") : value);
    return;
  }
  eval(join_texts({var_name_, ".", member, "='", value, "'"}));
}

void JsonDocument::set_member_script(const Text& member, const Text& expr) {
  eval(join_texts({var_name_, ".", member, "= eval(", expr, ")"}));
}

void JsonDocument::set_member_number(const Text& member, double value) {
  eval(join_texts({var_name_, ".", member, "=", number_to_g13_text(value)}));
}

double JsonDocument::get_number(const Text& member) {
  return eval_number(join_texts({var_name_, ".", member}));
}

Text JsonDocument::get_member_json(const Text& member) {
  return eval_text(join_texts({"JSON.stringify(", var_name_, ".", member, ")"}));
}

Text JsonDocument::get_text(const Text& path, bool as_json) {
  const Text separator = separator_for(path);
  if (as_json) return eval_text(join_texts({"JSON.stringify(", var_name_, separator, path, ")"}));
  if (engine() == nullptr) return Text();
  if (type_of(path) == kJsonNumber) return number_to_g13_text(get_number(path));
  return eval_text(join_texts({var_name_, separator, path}));
}

JsonDocument JsonDocument::document_from_json_of(const Text& expression) {
  JsonDocument document;
  const Text json = eval_text(join_texts({"JSON.stringify(", expression, ")"}));
  static_cast<void>(document.parse(json));
  return document;
}

JsonDocument JsonDocument::get_member_document(const Text& member) {
  return document_from_json_of(join_texts({var_name_, separator_for(member), member}));
}

int JsonDocument::count(const Text& path) {
  const Text script = path.empty() ? join_texts({"get__count(", var_name_, ")"})
                                   : join_texts({"get__count(", var_name_, separator_for(path), path, ")"});
  const double number = eval_number(script);
  if (std::isnan(number)) return 0;
  if (number >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  if (number <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  return static_cast<int>(number);  // truncates toward zero
}

void JsonDocument::push(const Text& value, const Text& path, bool raw) {
  const Text t = target(path);
  const Text q = quote_unless(raw);
  eval(join_texts({"if (Object.prototype.toString.call(", t, ") != '[object Array]') { ", t, "=new Array();} ", t,
                   ".push(", q, value, q, ")"}));
}

JsonDocument JsonDocument::get_element_document(int index, const Text& path) {
  return document_from_json_of(join_texts({target(path), "[", decimal(index), "]"}));
}

Text JsonDocument::get_element_text(int index, const Text& path, bool as_json) {
  const Text element = join_texts({target(path), "[", decimal(index), "]"});
  return eval_text(as_json ? join_texts({"JSON.stringify(", element, ")"}) : element);
}

void JsonDocument::set_element(int index, const Text& value, bool raw) {
  const Text q = quote_unless(raw);
  eval(join_texts({var_name_, "[", decimal(index), "]=", q, value, q}));
}

void JsonDocument::remove_element(int index) {
  eval(join_texts({var_name_, ".splice(", decimal(index), ",1)"}));
}

void JsonDocument::remove_member(const Text& member) { eval(join_texts({"delete ", var_name_, ".", member})); }

void JsonDocument::reset(JsonKind kind) {
  if (kind == kJsonNull || kind == kJsonObject) {
    eval(join_texts({"var ", var_name_, "={}"}));
  } else if (kind == kJsonArray) {
    eval(join_texts({"var ", var_name_, "=new Array()"}));
  }
}

void JsonDocument::set_value(const Text& value, bool raw) {
  const Text q = quote_unless(raw);
  eval(join_texts({var_name_, "=", q, value, q}));
}

bool JsonDocument::has_member(const Text& member) {
  return eval_bool(join_texts({var_name_, ".", member, " !=null"}));
}

int JsonDocument::member_names(TextList& names, const Text& path) {
  Text listed = eval_text(join_texts({"var ary=''; for (var key in ", target(path), ") {ary=ary+ key+','; }"}));
  listed = replace_all(listed, Text("toJSONString,"));
  listed = replace_all(listed, Text("parseJSON,"));
  eval(Text("ary=null"));
  names = split_on(listed, Text(","));
  return static_cast<int>(names.size());
}

JsonKind JsonDocument::type_of(const Text& path) {
  const Text t = target(path);
  if (eval_bool(join_texts({t, "==null"}))) return kJsonNull;
  const Text kind = eval_text(join_texts({"typeof (", t, ")"}));
  if (kind == Text("string")) return kJsonString;
  if (kind == Text("number")) return kJsonNumber;
  if (kind == Text("object")) {
    const Text json = eval_text(join_texts({"JSON.stringify(", t, ")"}));
    return starts_with_bracket(json) ? kJsonArray : kJsonObject;
  }
  return kJsonOther;
}

void JsonDocument::clear() { eval(join_texts({var_name_, "={}"})); }

}  // namespace kestrin
