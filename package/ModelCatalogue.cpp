// The model catalogue: an INI file beside the program, one section per drive model.
#include "app/FlashForm.h"
#include "app/Text.h"
#include "platform/Platform.h"
#include "platform/WinConstants.h"

namespace {

constexpr int kMaxEntries = 100;
constexpr win::DWORD kValueBufferSize = 2048;  // values of at most 2047 characters

// The program's own path with its extension replaced by ".INI".
std::string CataloguePath() {
  std::string path = ModuleFileName();
  std::size_t dot = BaseName(path).find_last_of('.');
  if (dot != std::string::npos) path.resize(path.size() - BaseName(path).size() + dot);
  return path + ".INI";
}

bool FileExists(const std::string& path) {
  win::DWORD attributes = Os().GetFileAttributesA(path.c_str());
  return attributes != win::INVALID_FILE_ATTRIBUTES &&
         (attributes & win::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ReadKey(const std::string& file, const std::string& section, const char* key) {
  char value[kValueBufferSize];
  Os().GetPrivateProfileStringA(section.c_str(), key, "FAIL", value, kValueBufferSize,
                                file.c_str());
  return value;
}

}  // namespace

bool TFlashForm::RetriveINI() {
  ModelList.reset(new TStringList);
  InquiryList.reset(new TStringList);
  FwRangeList.reset(new TStringList);
  BinMaskList.reset(new TStringList);
  VendorList.reset(new TStringList);
  NoteList.reset(new TStringList);

  std::string path = CataloguePath();
  if (!FileExists(path)) {
    ShowMessage("Can't load " + path);
    Application.Terminate();
    return false;
  }
  static const char* const keys[6] = {"Model", "Inquiry", "FW-Range", "BINMask", "Vendor", "Note"};
  TStringList* lists[6] = {ModelList.get(),   InquiryList.get(), FwRangeList.get(),
                           BinMaskList.get(), VendorList.get(),  NoteList.get()};
  bool faulty = false;
  std::string section;
  int n = 0;
  for (; n < kMaxEntries; ++n) {
    section = Format("%5.5s%02d", "MODEL", n);
    std::string values[6];
    for (int k = 0; k < 6; ++k) values[k] = ReadKey(path, section, keys[k]);
    if (values[0] == "FAIL") break;
    for (int k = 1; k < 6 && !faulty; ++k) faulty = values[k] == "FAIL";
    if (faulty) break;
    for (int k = 0; k < 6; ++k) lists[k]->Add(values[k]);
    ComboBox.Add(values[2] + " " + values[1]);
    (*ModelList)[n] = Format("%.24s", values[0].c_str());
    (*InquiryList)[n] = Format("%-24.24s", values[1].c_str());
    (*FwRangeList)[n] = Format("%.24s", values[2].c_str());
    (*VendorList)[n] = Format("%.24s", values[4].c_str());
    (*NoteList)[n] = Format("%.24s", values[5].c_str());
  }
  if (faulty || ModelList->Count() == 0) {
    ShowMessage(path + " > Session " + section + " error!");
    Application.Terminate();
    return false;
  }
  ComboBox.SetItemIndex(0);
  ComboBoxChange(this);
  return true;
}
