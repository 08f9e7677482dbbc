// Prints Windows' own GetPrivateProfileStringA answers for a list of queries.
// Usage: ini_prober <queries> <corpus folder> <answers out>
#include <windows.h>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/ini/IniQueries.h"

namespace {

std::string FullPath(const std::string& folder, const std::string& file) {
  std::string path = folder + "\\" + file;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: ini_prober <queries> <corpus folder> <answers out>\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ofstream out(argv[3], std::ios::binary);
  if (!in || !out) {
    std::cerr << "ini_prober: cannot open the query list or the answer file\n";
    return 2;
  }
  for (const iniq::Query& q : iniq::ParseQueries(in)) {
    std::vector<char> buffer(q.size + 1, 'x');
    DWORD n = GetPrivateProfileStringA(q.section.c_str(), q.key.c_str(), "FAIL", buffer.data(),
                                       q.size, FullPath(argv[2], q.file).c_str());
    out << iniq::AnswerLine(q, n, std::string(buffer.data(), n)) << "\n";
  }
  return out ? 0 : 1;
}
