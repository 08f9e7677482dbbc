// The texts the main window shows, at their longest, for the toolkits' tests that
// measure them against the controls that show them.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace window_texts {

// The longest firmware file name the file list shows whole, when `width` measures a name
// in the list's font and `room` is what the list has for it.
inline std::string LongestListedName(const std::function<int(const std::string&)>& width,
                                     int room) {
  const std::string pattern = "_firmware_update_QF2Z";
  std::string stem = "QF2Z";
  for (std::size_t i = 0; width(stem + pattern[i % pattern.size()] + ".BIN") <= room; ++i)
    stem += pattern[i % pattern.size()];
  return stem + ".BIN";
}

// Every text the status line shows: each step of a flash with the failure it can end in,
// and the builder's, with the given file name.
inline std::vector<std::string> StatusTexts(const std::string& fileName) {
  const std::string verify = "Read back and Verify drive's DRAM... ";
  std::vector<std::string> texts;
  for (const char* step : {"Write profile to drive's DRAM... ", "Write BIN to drive's DRAM... ",
                           "Drive entry critical... "}) {
    texts.push_back(step);
    texts.push_back(std::string(step) + ", Fail! ");
  }
  texts.push_back(verify);
  for (const char* failure :
       {", Valid Profile Fail!", ", Read Fail! ", ", Compare BIN and DRAM Fail! "})
    texts.push_back(verify + failure);
  texts.push_back("Don't turn off the system, Flash is in progress...");
  texts.push_back("Flash Fail.");
  texts.push_back("Flash Completed.");
  texts.push_back("Building " + fileName + "  Please wait... ");
  texts.push_back("Building " + fileName + " failed.");
  texts.push_back("Build " + fileName.substr(0, 4) + ".EXE complete!");
  return texts;
}

// The label in both modes, with the example vendor and with one that fills its field.
inline std::vector<std::string> LabelTexts() {
  return {"Select the Korvel-XQ drive you want to update:",
          "Select the KORVEL-XQ OPTICAL STORAGE drive you want to update:", "Select Model: "};
}

// Combo box entries: drives (as the pass-through and the ASPI scan describe them) and
// catalogue models (range and identification, each as long as its field allows).
inline std::vector<std::string> ComboTexts() {
  return {"0-0-0 D: KOR-VEL KRW-52088S      QF05", "12-15-0  : KOR-VEL KRW-52088S      QF2Z",
          "QF01-QF2Z KOR-VEL KRW-52088S      ", "QF01-QF2Z KOR-VEL KRW-40000D DVDRW"};
}

}  // namespace window_texts
