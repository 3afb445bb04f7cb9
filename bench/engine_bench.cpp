// Times the engine alone: building a processor and scanning a text.
//
//   engine_bench KEYWORDS_FILE TEXT_FILE [THRESHOLD] [REPEATS]
//
// An empty THRESHOLD means exact matching.
//
// KEYWORDS_FILE holds one keyword per line; TEXT_FILE is scanned as one text.
// bench/make_corpus.py writes both.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "engine/keyword_processor.hpp"

namespace {

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << path << "\n";
    std::exit(2);
  }
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The best time of `run` over `repeats` runs, each after an untimed
// `prepare`.
template <class P, class F>
double best_seconds(int repeats, P&& prepare, F&& run) {
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: engine_bench KEYWORDS_FILE TEXT_FILE [THRESHOLD] [REPEATS]\n";
    return 2;
  }
  const std::string keywords = read_file(argv[1]);
  const std::string text = read_file(argv[2]);
  const std::optional<float> threshold =
      argc > 3 && argv[3][0] ? std::optional<float>(std::strtof(argv[3], nullptr)) : std::nullopt;
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 5;

  // Each run on a freshly built processor: a processor keeps fuzzy answers
  // between calls, which a repeated text would find warm.
  std::optional<termsweep::KeywordProcessor> processor;
  std::size_t count = 0;
  const auto load = [&] {
    processor.emplace();
    count = 0;
    std::istringstream lines(keywords);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty()) processor->add_keyword(line, std::nullopt), ++count;
    }
  };
  const double build = best_seconds(1, [] {}, load);
  std::size_t found = 0;
  const double extract = best_seconds(repeats, load, [&] { found = processor->extract_keywords(text, threshold).size(); });
  const double replace = best_seconds(repeats, load, [&] { processor->replace_keywords(text, threshold); });
  const double megabytes = static_cast<double>(text.size()) / 1e6;
  std::printf("%zu keywords built in %.3f s; text %.1f MB; %zu matches\n", count, build, megabytes, found);
  std::printf("extract %8.1f MB/s\nreplace %8.1f MB/s\n", megabytes / extract, megabytes / replace);
  return 0;
}
