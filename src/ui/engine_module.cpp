// The module kestrin_engine: the rewriting pipeline, loaded at run time by the window
// (ui/engine.h). Built by the same compiler from the same headers as the program, so the
// value types cross as they are.
#include <cstddef>
#include <filesystem>
#include <vector>

#include "rewrite/article.h"
#include "rewrite/batch.h"

// rewrite_article(*article, passes), stored into *result.
extern "C" __attribute__((visibility("default"))) void kestrin_engine_rewrite_article(const kestrin::Text* article, int passes,
                                                             kestrin::RewriteResult* result) {
  *result = kestrin::rewrite_article(*article, passes);
}

// shared_batch_runner().start with copies of *files and *folder; false when they could not
// be queued (out of memory).
extern "C" __attribute__((visibility("default"))) bool kestrin_engine_start_batch(
    const std::vector<std::filesystem::path>* files, const std::filesystem::path* folder) noexcept {
  try {
    kestrin::shared_batch_runner().start(*files, *folder);
    return true;
  } catch (...) {
    return false;
  }
}

// shared_batch_runner().unfinished().
extern "C" __attribute__((visibility("default"))) std::size_t kestrin_engine_batch_jobs() noexcept {
  return kestrin::shared_batch_runner().unfinished();
}
