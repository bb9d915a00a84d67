// The rewriting engine as the window calls it. The engine (the rewriting pipeline with its
// HTTP client and script engine) lives in the module kestrin_engine, loaded the first time
// it is used, so that starting the program does not wait for the network libraries.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

#include "rewrite/article.h"
#include "text/types.h"

namespace kestrin {

// rewrite_article of the engine module: same arguments, same result, and like it blocks the
// calling thread. When the module cannot be loaded nothing is sent and both texts are empty.
[[nodiscard]] RewriteResult rewrite_article_in_engine(const Text& article, int passes);

// Hands copies of every path of `files` and of `folder` to the engine's batch runner, which
// rewrites each file into `folder` on its own worker thread, at most kMaxBatchJobs at once,
// and returns at once. False when the module cannot be loaded or the jobs could not be
// queued; an empty list queues nothing and gives true.
[[nodiscard]] bool start_batch_in_engine(const std::vector<std::filesystem::path>& files,
                                         const std::filesystem::path& folder);

// Batch jobs handed to the engine that are still queued or running; 0 when none was ever
// handed over in this process.
[[nodiscard]] std::size_t batch_jobs_in_engine();

// The way out of the program once its window has closed and AppState is released. Batch
// jobs run on detached threads that use globals of the engine (the service address, the HTTP
// library's state), which a normal exit destroys; so once a batch has been handed to the
// engine in this process, this ends the process here with std::quick_exit(status), after
// flushing the standard streams, and jobs still running end with it. Otherwise it returns,
// and the caller returns status from main.
void end_process_if_batch_started(int status);

}  // namespace kestrin
