// The host reader against the answers Windows gave for the same corpus and queries.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/IniReader.h"
#include "tests/ini/IniQueries.h"

#ifndef KF_INI_DIR
#error KF_INI_DIR names the folder of the corpus, the queries and the expected answers
#endif

namespace {

const std::string kDir = KF_INI_DIR;

std::vector<std::string> ExpectedLines() {
  std::ifstream in(kDir + "/expected.txt", std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string HostAnswer(const iniq::Query& q) {
  std::vector<char> buffer(q.size + 1, 'x');
  win::DWORD n = ReadPrivateProfileString(q.section.c_str(), q.key.c_str(), "FAIL", buffer.data(),
                                          q.size, kDir + "/corpus/" + q.file);
  return iniq::AnswerLine(q, n, std::string(buffer.data(), n));
}

TEST(IniDifferential, HostReaderGivesWindowsAnswers) {
  std::ifstream in(kDir + "/queries.txt", std::ios::binary);
  std::vector<iniq::Query> queries = iniq::ParseQueries(in);
  std::vector<std::string> expected = ExpectedLines();
  ASSERT_GT(queries.size(), 50u);
  ASSERT_EQ(queries.size(), expected.size()) << "expected.txt is out of date with queries.txt";
  for (std::size_t i = 0; i < queries.size(); ++i)
    EXPECT_EQ(HostAnswer(queries[i]), expected[i]) << "query line " << i + 1;
}

}  // namespace
