#pragma once

// Reading PDF files back with poppler's command-line tools (poppler-utils).

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>

namespace plots_test {

inline bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string run(const std::string& command) {
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
  std::string out;
  char buf[4096];
  while (pipe && fgets(buf, sizeof buf, pipe.get())) out += buf;
  return out;
}

// Writes `bytes` to a file of this process's own (test cases run in parallel processes, so a
// shared name would let one read another's half-written file) and returns its path.
inline std::string saved(const std::string& bytes, const std::string& name) {
  static int count = 0;
  const std::string path =
      ::testing::TempDir() + "plots-" + std::to_string(::getpid()) + "-" + std::to_string(++count) + "-" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

/// A word's box on the page, in points from the top left corner.
struct word {
  double x_min, x_max, y_min, y_max;
};

/// Words of one page of the PDF with their boxes.
inline std::multimap<std::string, word> words_of(const std::string& pdf_path, int page = 1) {
  const std::string n = std::to_string(page);
  const std::string html = run("pdftotext -f " + n + " -l " + n + " -bbox '" + pdf_path + "' -");
  const std::regex line(R"re(<word xMin="([-\d.]+)" yMin="([-\d.]+)" xMax="([-\d.]+)" yMax="([-\d.]+)">([^<]*)</word>)re");
  std::multimap<std::string, word> out;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), line); it != std::sregex_iterator(); ++it)
    out.insert({(*it)[5], {std::stod((*it)[1]), std::stod((*it)[3]), std::stod((*it)[2]), std::stod((*it)[4])}});
  return out;
}

inline constexpr double pt_per_mm = 72 / 25.4;

}  // namespace plots_test
