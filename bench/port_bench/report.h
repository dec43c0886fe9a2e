// SPDX-License-Identifier: MIT
// The results: each row printed to standard output as it is measured, and
// at the end the table and the plot data that scripts/bench.sh puts into
// docs/performance.md.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "port_bench/links.h"

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
  // Starts a table of its own for the rows that follow, under a heading and
  // a paragraph (unless the current table has that heading already); the
  // rows before the first have no heading.
  void Section(const std::string& title, const std::string& text = "");
  void Add(Row row);
  // A target and whether the measured figure meets it; left out when the
  // figure was not measured (a column left out by --mode). The targets are
  // listed after the tables, the ordinary host's first.
  void Check(const std::string& text, double measured, const std::string& unit, bool met,
             Host host = Host::kTuned);
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
  struct Table {
    std::string title;
    std::string text;
    std::vector<Row> rows;
  };

  void WriteTable(std::FILE* file, const Table& table) const;

  std::vector<Table> tables_{1};
  std::vector<Target> targets_[2];  // by Host
  std::vector<std::string> notes_;
};

}  // namespace port_bench
