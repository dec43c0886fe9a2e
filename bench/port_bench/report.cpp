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

void Report::Section(const std::string& title, const std::string& text) {
  if (tables_.back().title == title) return;
  std::printf("%s\n", title.c_str());
  tables_.push_back(Table{title, text, {}});
}

void Report::Add(Row row) {
  std::printf("%-44s %12s %12s %12s  %s\n", row.name.c_str(), Format(row.plain).c_str(),
              Format(row.standard).c_str(), Format(row.fast).c_str(), row.unit.c_str());
  std::fflush(stdout);
  tables_.back().rows.push_back(std::move(row));
}

void Report::Check(const std::string& text, double measured, const std::string& unit, bool met,
                   Host host) {
  if (!(measured > 0) || measured == HUGE_VAL) return;
  targets_[static_cast<int>(host)].push_back({text, Format(measured) + " " + unit, met});
  std::printf("  target: %-60s %s %s\n", text.c_str(), (Format(measured) + " " + unit).c_str(),
              met ? "met" : "NOT MET");
  std::fflush(stdout);
}

void Report::Note(std::string text) { notes_.push_back(std::move(text)); }

void Report::WriteTable(std::FILE* file, const Table& table) const {
  if (!table.title.empty()) std::fprintf(file, "### %s\n\n", table.title.c_str());
  if (!table.text.empty()) std::fprintf(file, "%s\n\n", table.text.c_str());
  if (!table.rows.empty()) {
    std::fprintf(file,
                 "| Measure | Unit | Plain socket | Default mode | Fast mode | Default / plain "
                 "| Fast / plain |\n");
    std::fprintf(file, "|---|---|--:|--:|--:|--:|--:|\n");
  }
  for (const auto& row : table.rows) {
    // Shares of the mean are compared with the target, not with plain.
    const double comparable = row.unit == "ratio" ? 0 : row.plain;
    std::fprintf(file, "| %s | %s | %s | %s | %s | %s | %s |\n", row.name.c_str(), row.unit.c_str(),
                 Cell(row.plain).c_str(), Cell(row.standard).c_str(), Cell(row.fast).c_str(),
                 Ratio(row.standard, comparable).c_str(), Ratio(row.fast, comparable).c_str());
  }
  std::fprintf(file, "\n");
}

void Report::WriteMarkdown(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return;
  for (const auto& table : tables_) WriteTable(file, table);
  const char* headings[] = {"### Targets: the tuned host", "### Targets: the ordinary host"};
  for (const Host host : {Host::kOrdinary, Host::kTuned}) {
    const auto& targets = targets_[static_cast<int>(host)];
    if (targets.empty()) continue;
    std::fprintf(file, "%s\n\n| Target | Measured | Met |\n|---|--:|:-:|\n",
                 headings[static_cast<int>(host)]);
    for (const auto& target : targets) {
      std::fprintf(file, "| %s | %s | %s |\n", target.text.c_str(), target.measured.c_str(),
                   target.met ? "met" : "**not met**");
    }
    std::fprintf(file, "\n");
  }
  for (const auto& note : notes_) std::fprintf(file, "%s\n\n", note.c_str());
  std::fclose(file);
}

void Report::WriteData(const std::string& prefix) const {
  const char* panels[] = {nullptr, "throughput", "roundtrip", "idle"};
  for (int panel = 1; panel <= 3; ++panel) {
    std::FILE* file = std::fopen((prefix + "-" + panels[panel] + ".dat").c_str(), "w");
    if (file == nullptr) continue;
    std::fprintf(file, "# index label plain default fast\n");
    int index = 0;
    for (const auto& table : tables_) {
      for (const auto& row : table.rows) {
        if (row.plot != panel) continue;
        std::string label = row.name;
        for (const char* heading : {"Throughput ", "Round trip 16 B, ", "Idle connected port, "}) {
          if (label.rfind(heading, 0) == 0) label.erase(0, std::strlen(heading));
        }
        std::fprintf(file, "%d \"%s\" %g %g %g\n", index++, label.c_str(), row.plain, row.standard,
                     row.fast);
      }
    }
    std::fclose(file);
  }
}

}  // namespace port_bench
