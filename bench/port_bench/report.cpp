// SPDX-License-Identifier: MIT
#include "port_bench/report.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace port_bench {
namespace {

std::string Format(double value) {
  char text[32];
  if (value >= 100) {
    std::snprintf(text, sizeof(text), "%.0f", value);
  } else if (value >= 1) {
    std::snprintf(text, sizeof(text), "%.2f", value);
  } else {
    std::snprintf(text, sizeof(text), "%.4f", value);
  }
  return text;
}

std::string Cell(double value) { return value > 0 ? Format(value) : "-"; }

std::string Ratio(double value, double plain) {
  if (plain <= 0 || value <= 0) return "-";
  char text[32];
  const double ratio = value / plain;
  std::snprintf(text, sizeof(text), ratio >= 100 ? "%.0f" : "%.3g", ratio);
  return text;
}

}  // namespace

Report::Report() { std::printf("%-44s %12s %12s %12s\n", "measure", "plain", "default", "fast"); }

void Report::Add(Row row) {
  std::printf("%-44s %12s %12s %12s  %s\n", row.name.c_str(), Format(row.plain).c_str(),
              Format(row.standard).c_str(), Format(row.fast).c_str(), row.unit.c_str());
  std::fflush(stdout);
  rows_.push_back(std::move(row));
}

void Report::Check(const std::string& text, double measured, const std::string& unit, bool met) {
  if (!(measured > 0) || measured == HUGE_VAL) return;
  targets_.push_back({text, Format(measured) + " " + unit, met});
  std::printf("  target: %-60s %s %s\n", text.c_str(), (Format(measured) + " " + unit).c_str(),
              met ? "met" : "MISSED");
  std::fflush(stdout);
}

void Report::Note(std::string text) { notes_.push_back(std::move(text)); }

void Report::WriteMarkdown(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return;
  std::fprintf(file,
               "| Measure | Unit | Plain socket | Default mode | Fast mode | Default / plain "
               "| Fast / plain |\n");
  std::fprintf(file, "|---|---|--:|--:|--:|--:|--:|\n");
  for (const auto& row : rows_) {
    // Shares of the mean are compared with the target, not with plain.
    const double comparable = row.unit == "ratio" ? 0 : row.plain;
    std::fprintf(file, "| %s | %s | %s | %s | %s | %s | %s |\n", row.name.c_str(), row.unit.c_str(),
                 Cell(row.plain).c_str(), Cell(row.standard).c_str(), Cell(row.fast).c_str(),
                 Ratio(row.standard, comparable).c_str(), Ratio(row.fast, comparable).c_str());
  }
  std::fprintf(file, "\n| Target | Measured | Met |\n|---|--:|:-:|\n");
  for (const auto& target : targets_) {
    std::fprintf(file, "| %s | %s | %s |\n", target.text.c_str(), target.measured.c_str(),
                 target.met ? "yes" : "**no**");
  }
  for (const auto& note : notes_) std::fprintf(file, "\n%s\n", note.c_str());
  std::fclose(file);
}

void Report::WriteData(const std::string& prefix) const {
  const char* panels[] = {nullptr, "throughput", "roundtrip", "idle"};
  for (int panel = 1; panel <= 3; ++panel) {
    std::FILE* file = std::fopen((prefix + "-" + panels[panel] + ".dat").c_str(), "w");
    if (file == nullptr) continue;
    std::fprintf(file, "# index label plain default fast\n");
    int index = 0;
    for (const auto& row : rows_) {
      if (row.plot != panel) continue;
      std::string label = row.name;
      for (const char* heading : {"Throughput ", "Round trip 16 B, ", "Idle connected port, "}) {
        if (label.rfind(heading, 0) == 0) label.erase(0, std::strlen(heading));
      }
      std::fprintf(file, "%d \"%s\" %g %g %g\n", index++, label.c_str(), row.plain, row.standard,
                   row.fast);
    }
    std::fclose(file);
  }
}

}  // namespace port_bench
