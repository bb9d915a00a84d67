// Parts of the program that live in modules of their own, loaded at run time the first time
// they are needed, so that starting the program does not wait for the libraries under them.
#pragma once

namespace kestrin {

// The address of `symbol` in the module `file_name`, looked for beside the program first,
// then at `build_path` (where the build put it). The module stays loaded for the rest of the
// process. nullptr when neither place has it; safe on any thread.
[[nodiscard]] void* resolve_in_module(const char* file_name, const char* build_path, const char* symbol);

}  // namespace kestrin
