// The catalogue reader on arbitrary bytes: its index against the line-by-line reading
// it replaced, and the builder's start-up against the catalogue rules, both written
// plainly here.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/FuzzProgram.h"
#include "platform/IniReader.h"

namespace {

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string UpTo0(const std::string& s) {
  return s.substr(0, s.find('\0'));
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

void Utf8(std::uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | c >> 6);
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | c >> 12);
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | c >> 18);
    *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Decode(const std::string& b) {
  if (b.compare(0, 3, "\xEF\xBB\xBF") == 0) return b.substr(3);
  bool le = b.compare(0, 2, "\xFF\xFE") == 0, be = b.compare(0, 2, "\xFE\xFF") == 0;
  if (!le && !be) return b;
  std::vector<std::uint32_t> units;
  for (std::size_t i = 2; i + 1 < b.size(); i += 2) {
    auto x = static_cast<unsigned char>(b[i]), y = static_cast<unsigned char>(b[i + 1]);
    units.push_back(le ? (y << 8 | x) : (x << 8 | y));
  }
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t u = units[i];
    bool high = u >= 0xD800 && u < 0xDC00;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      Utf8(0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00), &out);
    } else {
      Utf8(u >= 0xD800 && u < 0xE000 ? 0xFFFD : u, &out);
    }
  }
  return out;
}

// A line as the reading before the index saw it: a section header, or a key with or
// without a value. Names in lower case.
struct Line {
  bool header = false, hasValue = false;
  std::string name, value;
};

std::vector<Line> Lines(const std::string& text) {
  std::vector<std::string> raw(1);
  for (char c : text) {
    if (c == '\r' || c == '\n')
      raw.emplace_back();
    else
      raw.back() += c;
  }
  std::vector<Line> lines;
  for (const std::string& r : raw) {
    std::string line = Trim(r);
    if (line.empty()) continue;
    Line l;
    std::size_t close = line.rfind(']');
    l.header = line[0] == '[' && close != std::string::npos && close > 0;
    std::size_t eq = line.find('=');
    l.name = Lower(UpTo0(Trim(l.header ? line.substr(1, close - 1) : line.substr(0, eq))));
    l.hasValue = !l.header && eq != std::string::npos;
    if (l.hasValue) l.value = UpTo0(Trim(line.substr(eq + 1)));
    lines.push_back(l);
  }
  return lines;
}

// Every query walks the lines from the top. Left out of the coverage the fuzzer steers
// by, which is the reader's.
__attribute__((no_sanitize("coverage"))) bool ModelFind(const std::vector<Line>& lines,
                                                        const std::string& section,
                                                        const std::string& key,
                                                        std::string* value) {
  std::string s = Lower(section), k = Lower(key);
  bool in = s.empty(), seen = in;
  for (const Line& l : lines) {
    if (l.header) {
      if (in) return false;
      in = !seen && l.name == s;
      seen = seen || in;
    } else if (in && l.name == k) {
      if (!l.hasValue) return false;
      *value = l.value;
      return true;
    }
  }
  return false;
}

// GetPrivateProfileStringA into 2048 bytes with the default "FAIL".
std::string ModelValue(const std::vector<Line>& lines, const std::string& section,
                       const std::string& key) {
  std::string v;
  if (!ModelFind(lines, section, key, &v)) return "FAIL";
  bool quoted = v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0];
  if (!quoted) return v.substr(0, 2047);
  std::string rest = v.substr(1), out = rest.substr(0, 2047);
  if (!out.empty() && 2048 >= rest.size()) out.pop_back();
  return out;
}

void CheckIndex(const std::string& bytes, const std::vector<Line>& lines) {
  std::vector<std::string> sections = {"", "MODEL00"}, keys = {"Model", ""};
  for (const Line& l : lines) {
    std::vector<std::string>& names = l.header ? sections : keys;
    if (names.size() < 6) names.push_back(l.name);
  }
  IniText index(bytes);
  for (const std::string& s : sections)
    for (const std::string& k : keys) {
      std::string got, want;
      bool found = index.Find(s, k, &got), expected = ModelFind(lines, s, k, &want);
      if (found != expected || got != want)
        Finding("[" + s + "] " + k + ": index and lines differ");
    }
}

// What the builder's start must show for the catalogue: its models, or the one message.
void CheckCatalogue(const std::string& bytes, const std::vector<Line>& lines) {
  static const char* const keys[6] = {"Model", "Inquiry", "FW-Range", "BINMask", "Vendor", "Note"};
  std::vector<std::string> items;
  std::string section;
  bool faulty = false;
  for (int n = 0; n < 100 && !faulty; ++n) {
    char name[8];
    std::snprintf(name, sizeof name, "MODEL%02d", n);
    section = name;
    std::string v[6];
    for (int k = 0; k < 6; ++k) v[k] = ModelValue(lines, section, keys[k]);
    if (v[0] == "FAIL") break;
    for (int k = 1; k < 6 && !faulty; ++k) faulty = v[k] == "FAIL";
    if (!faulty) items.push_back(v[2] + " " + v[1]);
  }

  std::string dir = FuzzFolder();
  FuzzProgram program(true);
  program.fake.modulePath = dir + "/KFLASH.EXE";
  program.fake.currentDirectory = dir;
  static long long inputs = 0;
  WriteCatalogue(dir + "/KFLASH.INI", bytes, ++inputs);
  program.Run();
  std::vector<std::string> dialogs;
  for (const DialogRecord& d : program.tk.dialogs) dialogs.push_back(d.text);
  if (faulty || items.empty()) {
    std::string message = dir + "/KFLASH.INI > Session " + section + " error!";
    if (dialogs != std::vector<std::string>{message} || !program.tk.quitPosted)
      Finding("the catalogue's error is not told as " + message);
  } else if (!dialogs.empty() || program.tk.comboItems != items) {
    Finding("the models listed are not the catalogue's");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<Line> lines = Lines(Decode(bytes));
  CheckIndex(bytes, lines);
  CheckCatalogue(bytes, lines);
  return 0;
}
