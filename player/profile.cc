#include "player/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <vector>

#include "platform/paths.h"

namespace tarn {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (unsigned char)s[b] <= 32) ++b;
  while (e > b && (unsigned char)s[e - 1] <= 32) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// "[name]" gives name; anything else "".
bool SectionName(const std::string& line, std::string& name) {
  const std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
  name = Trim(t.substr(1, t.size() - 2));
  return true;
}

// "key=value" splits; false for other lines (comments, blanks).
bool KeyValue(const std::string& line, std::string& key, std::string& value) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return true;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool MakeDirectories(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') {
      const std::string part = dir.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

std::string ProfilePath() {
  const std::string home = ConfigHome();
  return home.empty() ? std::string() : home + "/tarn/tarn.ini";
}

std::string ProfileGetString(const char* section, const char* key, const char* fallback, size_t maxLength) {
  std::string result = fallback ? fallback : "";
  const std::string path = ProfilePath();
  if (!path.empty()) {
    bool inSection = false;
    for (const std::string& line : ReadLines(path)) {
      std::string name, k, v;
      if (SectionName(line, name)) {
        inSection = SameName(name, section);
      } else if (inSection && KeyValue(line, k, v) && SameName(k, key)) {
        result = v;
        break;
      }
    }
  }
  if (result.size() > maxLength) result.resize(maxLength);
  return result;
}

bool ProfileSetString(const char* section, const char* key, const std::string& value) {
  const std::string path = ProfilePath();
  if (path.empty() || value.find('\n') != std::string::npos) return false;
  std::vector<std::string> lines = ReadLines(path);
  const std::string entry = std::string(key) + "=" + value;
  bool inSection = false, done = false;
  size_t sectionEnd = std::string::npos;  // line after the section's last key
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, k, v;
    if (SectionName(lines[i], name)) {
      if (inSection) break;
      inSection = SameName(name, section);
      if (inSection) sectionEnd = i + 1;
    } else if (inSection) {
      if (KeyValue(lines[i], k, v)) {
        if (SameName(k, key)) {
          lines[i] = entry;
          done = true;
        }
        sectionEnd = i + 1;
      }
    }
  }
  if (!done) {
    if (sectionEnd == std::string::npos) {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
      lines.push_back(std::string("[") + section + "]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + long(sectionEnd), entry);
    }
  }
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && !MakeDirectories(path.substr(0, slash))) return false;
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (!out) {
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace tarn
