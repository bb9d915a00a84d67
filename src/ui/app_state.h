// The process-wide state of the tool: the files chosen for a batch run and the folder its
// results go to. One instance lives for the whole process, owned by the program entry; it is
// read and written only on the user-interface thread.
#pragma once

#include <filesystem>
#include <vector>

namespace kestrin {

struct AppState {
  // The files of the next batch run, in the order chosen; an import replaces the whole list.
  std::vector<std::filesystem::path> import_files;
  // The folder batch results are written to; empty until one is chosen.
  std::filesystem::path save_directory;
};

// Start-up: no imported files and no save folder.
void init_app_state(AppState& state);

// Shutdown: releases every path of the import list, the list itself, then the save folder.
// The state reads as freshly initialised afterwards, so a second call does nothing.
void release_app_state(AppState& state);

}  // namespace kestrin
