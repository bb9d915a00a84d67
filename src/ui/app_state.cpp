#include "ui/app_state.h"

#include <utility>

namespace kestrin {

void init_app_state(AppState& state) {
  state.import_files.clear();
  state.save_directory.clear();
}

void release_app_state(AppState& state) {
  // Swapping with empty values gives the memory back, not just the contents.
  std::vector<std::filesystem::path>().swap(state.import_files);
  state.save_directory = std::filesystem::path();
}

}  // namespace kestrin
