// SPDX-License-Identifier: MIT
// The results: each row printed to standard output as it is measured, and
// at the end the table and the plot data that scripts/bench.sh puts into
// docs/performance.md.
#pragma once

#include <string>
#include <vector>

namespace port_bench {

struct Row {
  std::string name;
  std::string unit;
  double plain = 0;
  double standard = 0;  // default mode
  double fast = 0;
  int plot = 0;  // panel of the plot: 0 none, 1 throughput, 2 round trip, 3 idle
};

class Report {
 public:
  // Prints the heading of the rows on standard output.
  Report();
  void Add(Row row);
  // A target and whether the measured figure meets it; left out when the
  // figure was not measured (a column left out by --mode).
  void Check(const std::string& text, double measured, const std::string& unit, bool met);
  // A paragraph after the tables.
  void Note(std::string text);

  void WriteMarkdown(const std::string& path) const;
  // For each panel, PREFIX-<panel>.dat with one line per row: index, label
  // (quoted), plain, default, fast.
  void WriteData(const std::string& prefix) const;

 private:
  struct Target {
    std::string text;
    std::string measured;
    bool met = false;
  };

  std::vector<Row> rows_;
  std::vector<Target> targets_;
  std::vector<std::string> notes_;
};

}  // namespace port_bench
