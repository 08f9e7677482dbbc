#pragma once

// The query list and answer lines shared by the Windows prober and the host comparison,
// so both sides print byte-identical answers for identical results.

#include <cstdio>
#include <istream>
#include <string>
#include <vector>

namespace iniq {

struct Query {
  std::string file;     // a corpus file name, relative to the corpus folder
  std::string section;  // taken verbatim: blanks around it are part of the query
  std::string key;
  unsigned size = 2048;
};

// One query a line: file, section and key separated by tabs, then an optional buffer
// size. Lines starting with '#' and empty lines are skipped.
inline std::vector<Query> ParseQueries(std::istream& in) {
  std::vector<Query> queries;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    if (fields.size() < 3) continue;
    Query q{fields[0], fields[1], fields[2]};
    if (fields.size() > 3) q.size = static_cast<unsigned>(std::stoul(fields[3]));
    queries.push_back(q);
  }
  return queries;
}

inline std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A long value is printed as its length and its two ends: the lines stay readable and a
// cut in the wrong place still shows.
inline std::string Abbreviate(const std::string& value) {
  if (value.size() <= 64) return Escape(value);
  return Escape(value.substr(0, 24)) + "...(" + std::to_string(value.size()) + ")..." +
         Escape(value.substr(value.size() - 24));
}

inline std::string AnswerLine(const Query& q, unsigned long length, const std::string& value) {
  return Escape(q.file) + "\t[" + Escape(q.section) + "]\t" + Escape(q.key) + "\t" +
         std::to_string(q.size) + "\t" + std::to_string(length) + "\t<" + Abbreviate(value) + ">";
}

}  // namespace iniq
