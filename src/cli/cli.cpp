#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

#include "cli/json_text.h"
#include "cli/progress.h"
#include "cli/similarity.h"
#include "rewrite/article.h"
#include "rewrite/batch.h"
#include "text/codecs.h"

namespace kestrin::cli {
namespace {

namespace fs = std::filesystem;

std::string prefix(Command command) {
  switch (command) {
    case Command::kRewrite: return std::string(kProgramName) + " rewrite: ";
    case Command::kBatch: return std::string(kProgramName) + " batch: ";
    case Command::kNone: break;
  }
  return std::string(kProgramName) + ": ";
}

void say(const CliStreams& io, Command command, const std::string& line) {
  std::fprintf(io.err, "%s%s\n", prefix(command).c_str(), line.c_str());
  std::fflush(io.err);
}

bool write_all(std::FILE* out, std::string_view bytes) {
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    return false;
  }
  return std::fflush(out) == 0 && !std::ferror(out);
}

std::string to_utf8(std::string_view gbk) { return gbk_to_utf8(Text(gbk)).str(); }

// Reads the whole stream, at most kMaxArticleBytes; an error text when it cannot.
std::string read_stream(std::FILE* in, std::string& out) {
  char buffer[1 << 16];
  while (true) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, in);
    out.append(buffer, n);
    if (out.size() > kMaxArticleBytes) {
      return "the input is larger than " + std::to_string(kMaxArticleBytes >> 20) + " MiB";
    }
    if (n < sizeof buffer) {
      if (std::ferror(in)) return std::strerror(errno);
      return {};
    }
  }
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

std::string read_article(const RewriteOptions& o, const CliStreams& io, std::string& raw) {
  if (o.file.empty() || o.file == "-") {
    if (io.in_is_terminal) {
      std::fputs("kestrinseo-cli rewrite: reading the article from stdin (end it with Ctrl-D)\n",
                 io.err);
    }
    std::string error = read_stream(io.in, raw);
    return error.empty() ? error : "cannot read stdin: " + error;
  }
  std::error_code ec;
  if (fs::is_directory(o.file, ec)) return "cannot read " + o.file + ": it is a folder";
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(o.file.c_str(), "rb"));
  if (file == nullptr) return "cannot read " + o.file + ": " + std::strerror(errno);
  std::string error = read_stream(file.get(), raw);
  return error.empty() ? error : "cannot read " + o.file + ": " + error;
}

std::string loss_warning(const PreparedInput& input) {
  const std::size_t n = input.losses.count;
  const std::string where = ", the first on line " + std::to_string(input.losses.first_line);
  if (input.encoding == Encoding::kUtf8) {
    return "warning: " + std::to_string(n) + (n == 1 ? " character" : " characters") +
           " cannot be represented in GBK and will be lost" + where;
  }
  return "warning: " + std::to_string(n) + (n == 1 ? " byte sequence is" : " byte sequences are") +
         " not valid GBK and will be lost" + where;
}

int run_rewrite(const RewriteOptions& o, const CliStreams& io) {
  constexpr Command kCmd = Command::kRewrite;
  std::string raw;
  if (std::string error = read_article(o, io, raw); !error.empty()) {
    say(io, kCmd, error);
    return kExitUsage;
  }
  const PreparedInput input = prepare_input(raw, o.encoding);
  if (!input.error.empty()) {
    say(io, kCmd, input.error);
    return kExitUsage;
  }
  if (input.losses.count > 0) say(io, kCmd, loss_warning(input));

  const RewriteResult result = rewrite_article(Text(input.gbk), o.passes);
  const std::string check_data = input.encoding == Encoding::kUtf8
                                     ? to_utf8(result.check_data.view())
                                     : result.check_data.str();
  if (result.output.empty()) {
    say(io, kCmd,
        "the service gave an empty result (no answer, or an answer without str)" +
            std::string(check_data.empty() ? "" : "; check data: " + check_data));
    return kExitFailure;
  }
  const std::string output_utf8 = to_utf8(result.output.view());
  const int similarity = o.similarity ? novelty_percent(input.utf8, output_utf8) : 0;

  std::string out;
  if (o.json) {
    PreparedInput as_utf8 = input;
    as_utf8.encoding = Encoding::kUtf8;
    out = "{\"output\":" + json_string(restore_output(result.output.view(), as_utf8, false)) +
          ",\"check_data\":" + json_string(to_utf8(result.check_data.view())) +
          ",\"passes\":" + std::to_string(o.passes);
    if (o.similarity) out += ",\"similarity\":" + std::to_string(similarity);
    out += "}\n";
  } else {
    std::fprintf(io.err, "check data: %s\n", check_data.c_str());
    if (o.similarity) {
      std::fprintf(io.err, "similarity: %d%% of the output is new (4-grams not in the input)\n",
                   similarity);
    }
    std::fflush(io.err);
    out = restore_output(result.output.view(), input, true);
  }
  if (!write_all(io.out, out)) {
    say(io, kCmd, std::string("cannot write the output: ") + std::strerror(errno));
    return kExitFailure;
  }
  return kExitSuccess;
}

// ----- batch -----

std::string describe_unreadable(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) return ec.message();
  if (fs::is_directory(status)) return "it is a folder";
  if (!fs::is_regular_file(status)) return "not a regular file";
  std::ifstream probe(path, std::ios::binary);
  if (!probe) return std::strerror(errno);
  return {};
}

struct Job {
  std::string shown;  // the file as given on the command line
  fs::path path;
};

void run_job(const Job& job, const fs::path& folder, const BatchOptions& o,
             BatchReporter& reporter) {
  const int attempts = 1 + o.retries;
  for (int attempt = 1;; ++attempt) {
    const BatchOutcome outcome = rewrite_file(job.path, folder);
    // A write failure is the folder's fault and a read failure the input's: another upload
    // would not help.
    if (outcome == BatchOutcome::written || outcome == BatchOutcome::write_failed ||
        outcome == BatchOutcome::read_failed || attempt >= attempts) {
      reporter.finished(job.shown, outcome, attempt);
      return;
    }
    const long long pause = std::min<long long>(
        static_cast<long long>(o.retry_pause_ms) << std::min(attempt - 1, 20), kMaxRetryPauseMs);
    reporter.retrying(job.shown, outcome, attempt + 1, attempts, static_cast<int>(pause));
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

int run_batch(const BatchOptions& o, const CliStreams& io) {
  constexpr Command kCmd = Command::kBatch;
  const fs::path folder = o.output_dir;
  std::error_code ec;
  const bool folder_exists = fs::exists(folder, ec);
  if (folder_exists && !fs::is_directory(folder, ec)) {
    say(io, kCmd, "the output " + o.output_dir + " is not a folder");
    return kExitUsage;
  }

  // Every file needs a name of its own (its output) and must be readable.
  std::map<fs::path, std::string> by_name;
  std::vector<Job> jobs;
  std::vector<std::string> skipped;
  bool usable = true;
  for (const std::string& file : o.files) {
    const fs::path path = file;
    const fs::path name = path.filename();
    if (name.empty() || name == "." || name == "..") {
      say(io, kCmd, "cannot read " + file + ": it names no file");
      usable = false;
      continue;
    }
    if (auto [it, fresh] = by_name.emplace(name, file); !fresh) {
      say(io, kCmd, file + " and " + it->second + " would both be written to " +
                        (folder / name).string());
      usable = false;
      continue;
    }
    if (o.skip_existing && folder_exists && fs::exists(folder / name, ec)) {
      skipped.push_back(file);
      continue;
    }
    if (std::string why = describe_unreadable(path); !why.empty()) {
      say(io, kCmd, "cannot read " + file + ": " + why);
      usable = false;
      continue;
    }
    jobs.push_back({file, path});
  }
  if (!usable) return kExitUsage;
  // Created only once the files are known to be usable, so that a usage error leaves none.
  if (!folder_exists) {
    fs::create_directories(folder, ec);
    if (ec) {
      say(io, kCmd, "cannot create the output folder " + o.output_dir + ": " + ec.message());
      return kExitUsage;
    }
  }

  BatchReporter reporter(io.err, io.err_is_terminal, o.files.size());
  for (const std::string& file : skipped) reporter.skipped(file);

  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t i = next.fetch_add(1); i < jobs.size(); i = next.fetch_add(1)) {
      run_job(jobs[i], folder, o, reporter);
    }
  };
  const std::size_t cap = o.jobs > 0 ? static_cast<std::size_t>(o.jobs) : kMaxBatchJobs;
  std::vector<std::thread> workers;
  for (std::size_t k = 0; k < std::min(cap, jobs.size()); ++k) {
    try {
      workers.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // fewer workers; the ones running take every job
    }
  }
  if (workers.empty()) worker();
  for (std::thread& t : workers) t.join();

  reporter.summary();
  return reporter.counts().failed > 0 ? kExitFailure : kExitSuccess;
}

}  // namespace

PreparedInput prepare_input(std::string_view raw, Encoding requested) {
  PreparedInput p;
  if (const std::size_t zero = raw.find('\0'); zero != std::string_view::npos) {
    p.error = "the input holds a zero byte at offset " + std::to_string(zero) +
              " (UTF-16 or binary?); give a UTF-8 or GBK text";
    return p;
  }
  const std::size_t bad = first_invalid_utf8(raw);
  if (requested == Encoding::kUtf8 && bad != std::string_view::npos) {
    p.error = "the input is not valid UTF-8 (at byte offset " + std::to_string(bad) +
              "); use --encoding gbk or auto";
    return p;
  }
  p.encoding = requested == Encoding::kGbk || bad != std::string_view::npos ? Encoding::kGbk
                                                                          : Encoding::kUtf8;
  std::string_view body = raw;
  if (p.encoding == Encoding::kUtf8 && body.starts_with(kUtf8Bom)) {
    p.bom = true;
    body.remove_prefix(kUtf8Bom.size());
  }
  p.line_breaks = detect_line_breaks(body);
  const std::string crlf = lf_to_crlf(body);
  if (p.encoding == Encoding::kUtf8) {
    p.utf8 = std::string(body);
    p.losses = gbk_losses_of_utf8(body);
    p.gbk = utf8_to_gbk(Text(crlf)).str();
  } else {
    p.utf8 = to_utf8(body);
    p.losses = undecodable_gbk(body);
    p.gbk = crlf;
  }
  if (!crlf.empty() && p.gbk.empty()) {
    p.error = "the input could not be converted to GBK";
  }
  return p;
}

std::string restore_output(std::string_view gbk_crlf, const PreparedInput& input,
                           bool with_bom) {
  std::string out = input.encoding == Encoding::kUtf8 ? to_utf8(gbk_crlf) : std::string(gbk_crlf);
  if (input.line_breaks == LineBreaks::kLf) out = crlf_to_lf(out);
  if (with_bom && input.bom) out.insert(0, kUtf8Bom);
  return out;
}

int run_cli(const std::vector<std::string>& args, const CliStreams& io) {
  const int max_jobs = static_cast<int>(kMaxBatchJobs);
  const ParsedArguments parsed = parse_arguments(args, max_jobs);
  const Invocation& inv = parsed.invocation;
  if (!parsed.error.empty()) {
    const std::string command = inv.command == Command::kRewrite ? " rewrite"
                                : inv.command == Command::kBatch ? " batch"
                                                                 : "";
    say(io, inv.command, parsed.error + " (see " + kProgramName + command + " --help)");
    return kExitUsage;
  }
  if (inv.version) {
    return write_all(io.out, std::string(kProgramName) + " " + KESTRIN_VERSION + "\n") ? kExitSuccess : kExitFailure;
  }
  if (inv.help) {
    const std::string text = inv.command == Command::kRewrite ? rewrite_help()
                             : inv.command == Command::kBatch ? batch_help(max_jobs)
                                                              : top_level_help();
    return write_all(io.out, text) ? kExitSuccess : kExitFailure;
  }
  // The protocol reads these once, on the first request, so setting them here is enough.
  if (inv.hosts.primary) ::setenv("KESTRIN_PRIMARY_HOST", inv.hosts.primary->c_str(), 1);
  if (inv.hosts.batch) ::setenv("KESTRIN_BATCH_HOST", inv.hosts.batch->c_str(), 1);
  switch (inv.command) {
    case Command::kRewrite: return run_rewrite(inv.rewrite, io);
    case Command::kBatch: return run_batch(inv.batch, io);
    case Command::kNone: break;
  }
  return kExitUsage;
}

}  // namespace kestrin::cli
