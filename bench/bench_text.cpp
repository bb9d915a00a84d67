// The codecs and the line-break folding on 1 MiB of mixed GBK text, each beside the raw
// library call it is built on (one iconv() call, one EVP digest) or a plain memory pass.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <type_traits>

#include "rewrite/protocol.h"
#include "text/codecs.h"
#include "text/text_ops.h"

namespace {

using kestrin::Bytes;
using kestrin::Text;

constexpr std::size_t kInputSize = 1 << 20;

// Lines of Chinese (GB2312 characters and full-width punctuation), ASCII words and digits,
// each line ended by CR LF: about 1 MiB of GBK.
const std::string& mixed_gbk() {
  static const std::string text = [] {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> lead(0xB0, 0xD7);
    std::uniform_int_distribution<int> trail(0xA1, 0xF9);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::string s;
    s.reserve(kInputSize + 128);
    std::size_t line = 0;
    while (s.size() < kInputSize) {
      const int k = kind(rng);
      if (k < 6) {
        s += static_cast<char>(lead(rng));
        s += static_cast<char>(trail(rng));
        line += 2;
      } else if (k < 7) {
        s += "\xA3\xAC";  // full-width comma
        line += 2;
      } else {
        for (int i = 0; i < 4; ++i) s += static_cast<char>(letter(rng));
        s += ' ';
        line += 5;
      }
      if (line >= 70) {
        s += "\r\n";
        line = 0;
      }
    }
    s.resize(kInputSize - 2);
    if (static_cast<unsigned char>(s.back()) >= 0x80 && (s.size() % 2) == 1) s.back() = 'x';
    s += "\r\n";
    return s;
  }();
  return text;
}

const Text& gbk_text() {
  static const Text text(mixed_gbk());
  return text;
}

const Text& utf8_text() {
  static const Text text = kestrin::gbk_to_utf8(gbk_text());
  return text;
}

struct IconvCloser {
  void operator()(iconv_t cd) const noexcept { iconv_close(cd); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// One iconv() call over the whole input into a buffer opened and sized beforehand.
void raw_iconv(benchmark::State& state, const char* from, const char* to, const std::string& input) {
  IconvHandle cd(iconv_open(to, from));
  if (cd.get() == reinterpret_cast<iconv_t>(-1)) {
    cd.release();
    state.SkipWithError("iconv_open failed");
    return;
  }
  std::string out(3 * input.size(), '\0');
  for (auto _ : state) {
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(input.data());
    std::size_t in_left = input.size();
    char* o = out.data();
    std::size_t out_left = out.size();
    if (iconv(cd.get(), &in, &in_left, &o, &out_left) == static_cast<std::size_t>(-1)) {
      state.SkipWithError("iconv failed");
      break;
    }
    benchmark::DoNotOptimize(o);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

void BM_gbk_to_utf8(benchmark::State& state) {
  const Text& input = gbk_text();
  for (auto _ : state) benchmark::DoNotOptimize(kestrin::gbk_to_utf8(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_gbk_to_utf8)->Unit(benchmark::kMicrosecond);

void BM_baseline_iconv_gbk_to_utf8(benchmark::State& state) {
  raw_iconv(state, "CP936", "UTF-8", gbk_text().str());
}
BENCHMARK(BM_baseline_iconv_gbk_to_utf8)->Unit(benchmark::kMicrosecond);

void BM_utf8_to_gbk(benchmark::State& state) {
  const Text& input = utf8_text();
  for (auto _ : state) benchmark::DoNotOptimize(kestrin::utf8_to_gbk(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_utf8_to_gbk)->Unit(benchmark::kMicrosecond);

void BM_baseline_iconv_utf8_to_gbk(benchmark::State& state) {
  raw_iconv(state, "UTF-8", "CP936", utf8_text().str());
}
BENCHMARK(BM_baseline_iconv_utf8_to_gbk)->Unit(benchmark::kMicrosecond);

void BM_md5_hex(benchmark::State& state) {
  const Bytes input = kestrin::text_to_bytes(gbk_text());
  for (auto _ : state) benchmark::DoNotOptimize(kestrin::md5_hex(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_md5_hex)->Unit(benchmark::kMicrosecond);

void BM_baseline_evp_md5(benchmark::State& state) {
  const std::string& input = gbk_text().str();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (auto _ : state) {
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_md5(), nullptr) != 1) {
      state.SkipWithError("EVP_Digest failed");
      break;
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_baseline_evp_md5)->Unit(benchmark::kMicrosecond);

void BM_base64_encode(benchmark::State& state) {
  const Bytes input = kestrin::text_to_bytes(gbk_text());
  for (auto _ : state) benchmark::DoNotOptimize(kestrin::base64_encode(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_base64_encode)->Unit(benchmark::kMicrosecond);

void BM_baseline_evp_encode_block(benchmark::State& state) {
  const std::string& input = gbk_text().str();
  std::string out(4 * ((input.size() + 2) / 3) + 1, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                             reinterpret_cast<const unsigned char*>(input.data()),
                                             static_cast<int>(input.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_baseline_evp_encode_block)->Unit(benchmark::kMicrosecond);

void BM_fold_line_breaks(benchmark::State& state) {
  const Text& input = gbk_text();
  for (auto _ : state) benchmark::DoNotOptimize(kestrin::fold_line_breaks(input));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_fold_line_breaks)->Unit(benchmark::kMicrosecond);

// The floor for any folding: find every CR with memchr and copy the text once.
void BM_baseline_memchr_copy(benchmark::State& state) {
  const std::string& input = gbk_text().str();
  for (auto _ : state) {
    std::string copy(input);
    std::size_t crs = 0;
    for (const char* p = copy.data(); (p = static_cast<const char*>(std::memchr(
                                           p, '\r', copy.size() - static_cast<std::size_t>(p - copy.data())))) != nullptr;
         ++p) {
      ++crs;
    }
    benchmark::DoNotOptimize(crs);
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_baseline_memchr_copy)->Unit(benchmark::kMicrosecond);

}  // namespace
