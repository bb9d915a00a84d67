#include "ui/engine.h"

#include <QtGlobal>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "ui/module_loader.h"

namespace kestrin {
namespace {

using RewriteArticle = void (*)(const Text* article, int passes, RewriteResult* result);
using StartBatch = bool (*)(const std::vector<std::filesystem::path>* files, const std::filesystem::path* folder);
using BatchJobs = std::size_t (*)();

RewriteArticle engine_rewrite() {
  static const auto rewrite = reinterpret_cast<RewriteArticle>(
      resolve_in_module("libkestrin_engine.so", KESTRIN_ENGINE_MODULE_PATH, "kestrin_engine_rewrite_article"));
  if (rewrite == nullptr) qWarning("the rewriting engine module could not be loaded");
  return rewrite;
}

// The entry point `symbol` of the engine module; nullptr, with a warning, when it cannot be
// loaded.
void* resolve_in_engine(const char* symbol) {
  void* found = resolve_in_module("libkestrin_engine.so", KESTRIN_ENGINE_MODULE_PATH, symbol);
  if (found == nullptr) qWarning("the rewriting engine module could not be loaded");
  return found;
}

StartBatch engine_start_batch() {
  static const auto start = reinterpret_cast<StartBatch>(resolve_in_engine("kestrin_engine_start_batch"));
  return start;
}

BatchJobs engine_batch_jobs() {
  static const auto jobs = reinterpret_cast<BatchJobs>(resolve_in_engine("kestrin_engine_batch_jobs"));
  return jobs;
}

// Set before the first batch is handed to the engine, never cleared: from then on detached
// jobs may be running.
std::atomic<bool> batch_handed_over{false};

}  // namespace

RewriteResult rewrite_article_in_engine(const Text& article, int passes) {
  RewriteResult result;
  if (const RewriteArticle rewrite = engine_rewrite()) rewrite(&article, passes, &result);
  return result;
}

bool start_batch_in_engine(const std::vector<std::filesystem::path>& files, const std::filesystem::path& folder) {
  if (files.empty()) return true;
  const StartBatch start = engine_start_batch();
  if (start == nullptr) return false;
  batch_handed_over = true;
  return start(&files, &folder);
}

std::size_t batch_jobs_in_engine() {
  if (!batch_handed_over) return 0;
  const BatchJobs jobs = engine_batch_jobs();
  return jobs != nullptr ? jobs() : 0;
}

void end_process_if_batch_started(int status) {
  if (!batch_handed_over) return;
  std::fflush(nullptr);
  std::quick_exit(status);
}

}  // namespace kestrin
