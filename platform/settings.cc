#include "platform/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/files.h"
#include "platform/whole_file.h"

namespace velqor::platform {
namespace {

// Key paths use backslashes between names; empty names (doubled, leading or trailing
// separators) are dropped so that every spelling of a key finds the same key.
std::string NormalizeKeyPath(std::string_view path) {
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) {
      if (!out.empty()) out += '\\';
      out.append(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

std::string JoinKeyPath(const std::string& parent, std::string_view child) {
  return NormalizeKeyPath(parent + "\\" + std::string(child));
}

using KeyMap = std::map<std::string, std::map<std::string, SettingsValue>>;

// Creates a key and every key above it, as a registry does.
void CreateKeyWithParents(KeyMap* keys, const std::string& path) {
  if (path.empty()) return;
  for (size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', pos + 1)) {
    (*keys)[path.substr(0, pos)];
  }
  (*keys)[path];
}

bool KeyMapHas(const KeyMap& keys, const std::string& path) {
  return path.empty() || keys.count(path) != 0;
}

std::optional<SettingsValue> KeyMapGet(const KeyMap& keys, const std::string& path,
                                       const std::string& name) {
  auto key = keys.find(path);
  if (key == keys.end()) return std::nullopt;
  auto value = key->second.find(name);
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

std::map<std::string, SettingsValue> KeyMapList(const KeyMap& keys, const std::string& path) {
  auto key = keys.find(path);
  return key == keys.end() ? std::map<std::string, SettingsValue>{} : key->second;
}

// ---- Open key handles ----

struct OpenKey {
  SettingsStore* store;
  std::string path;
  uint32_t access;
  SettingsKey root;  // the root this key was opened under (itself for a root)
};

struct KeyTable {
  std::mutex mutex;
  std::unordered_map<SettingsKey, OpenKey> keys;
  SettingsKey next = 1;

  SettingsKey Add(OpenKey key) {
    while (next == 0 || keys.count(next) != 0) ++next;
    SettingsKey handle = next++;
    keys.emplace(handle, std::move(key));
    return handle;
  }
};

KeyTable& Keys() {
  static KeyTable* table = new KeyTable;  // never destroyed: used until process exit
  return *table;
}

}  // namespace

// ---- Values ----

SettingsValue NumberValue(uint32_t value) {
  SettingsValue v;
  v.type = kRegTypeNumber;
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return v;
}

SettingsValue TextValue(const std::string& text) {
  SettingsValue v;
  v.type = kRegTypeText;
  v.data.assign(text.begin(), text.end());
  v.data.push_back(0);
  return v;
}

// ---- Roots ----

SettingsKey RegisterSettingsRoot(SettingsStore* store) {
  if (store == nullptr) return 0;
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  SettingsKey handle = t.Add(OpenKey{store, "", kRegAccessQuery | kRegAccessSet, 0});
  t.keys[handle].root = handle;
  return handle;
}

void UnregisterSettingsRoot(SettingsKey root) {
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  // Keys opened under the root go too: their store may not outlive the registration.
  for (auto it = t.keys.begin(); it != t.keys.end();) {
    it = it->second.root == root ? t.keys.erase(it) : std::next(it);
  }
}

// ---- MemorySettingsStore ----

bool MemorySettingsStore::KeyExists(const std::string& path) {
  return KeyMapHas(keys_, NormalizeKeyPath(path));
}

std::optional<SettingsValue> MemorySettingsStore::Get(const std::string& path,
                                                      const std::string& name) {
  return KeyMapGet(keys_, NormalizeKeyPath(path), name);
}

bool MemorySettingsStore::Set(const std::string& path, const std::string& name,
                              const SettingsValue& v) {
  if (refusedWrites_.count(name) != 0) return false;
  std::string key = NormalizeKeyPath(path);
  CreateKeyWithParents(&keys_, key);
  keys_[key][name] = v;
  return true;
}

bool MemorySettingsStore::Remove(const std::string& path, const std::string& name) {
  auto key = keys_.find(NormalizeKeyPath(path));
  return key != keys_.end() && key->second.erase(name) != 0;
}

bool MemorySettingsStore::CreateKey(const std::string& path) {
  CreateKeyWithParents(&keys_, NormalizeKeyPath(path));
  return true;
}

std::map<std::string, SettingsValue> MemorySettingsStore::List(const std::string& path) {
  return KeyMapList(keys_, NormalizeKeyPath(path));
}

bool MemorySettingsStore::AllowsOpen(const std::string& path, uint32_t access) {
  return refusedKeys_.count(NormalizeKeyPath(path)) == 0;
}

void MemorySettingsStore::RefuseOpen(const std::string& path) {
  refusedKeys_.insert(NormalizeKeyPath(path));
}

// Seeding helpers of tests: they store even names whose writes are refused.
void MemorySettingsStore::SetNumber(const std::string& path, const std::string& name,
                                    uint32_t value) {
  std::string key = NormalizeKeyPath(path);
  CreateKeyWithParents(&keys_, key);
  keys_[key][name] = NumberValue(value);
}

void MemorySettingsStore::SetText(const std::string& path, const std::string& name,
                                  const std::string& text) {
  std::string key = NormalizeKeyPath(path);
  CreateKeyWithParents(&keys_, key);
  keys_[key][name] = TextValue(text);
}

// ---- FileSettingsStore ----
//
// The file is text, one item a line:
//   velqor-settings 1                       first line
//   # ...                                   comment; blank lines are skipped
//   key "Software\\Velqor"                  starts a key
//     "NumDays" number 30                   32-bit number (type 4, four bytes)
//     "UserID" text "jdoe\x00"              text (type 1), exactly its bytes
//     "Blob" binary "\x01\x02"              binary (type 3)
//     "Odd" type 7 "..."                    any other type or size
// Quoted strings hold bytes: printable ASCII as is, \\ and \" escaped, everything else \xHH.

namespace {

constexpr std::string_view kHeader = "velqor-settings 1";

std::string Quote(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string Quote(const std::vector<uint8_t>& bytes) {
  return Quote(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cursor over one line; each reader answers false (with a reason) for a malformed line.
class LineReader {
 public:
  explicit LineReader(std::string_view line) : line_(line) {}

  void SkipBlanks() {
    while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t')) ++pos_;
  }
  bool AtEnd() {
    SkipBlanks();
    return pos_ >= line_.size();
  }
  bool Word(std::string* word) {
    SkipBlanks();
    size_t start = pos_;
    while (pos_ < line_.size() && line_[pos_] != ' ' && line_[pos_] != '\t') ++pos_;
    *word = std::string(line_.substr(start, pos_ - start));
    return !word->empty();
  }
  bool Number(uint32_t* value, std::string* error) {
    std::string word;
    if (!Word(&word)) return Fail("a number is missing", error);
    uint64_t v = 0;
    for (char c : word) {
      if (c < '0' || c > '9') return Fail("\"" + word + "\" is not a number", error);
      v = v * 10 + static_cast<uint64_t>(c - '0');
      if (v > 0xFFFFFFFFu) return Fail("the number " + word + " is too large", error);
    }
    *value = static_cast<uint32_t>(v);
    return true;
  }
  bool Quoted(std::string* out, std::string* error) {
    SkipBlanks();
    if (pos_ >= line_.size() || line_[pos_] != '"') return Fail("a quoted text is missing", error);
    ++pos_;
    out->clear();
    while (pos_ < line_.size()) {
      char c = line_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (pos_ >= line_.size()) break;
      char e = line_[pos_++];
      if (e == '\\' || e == '"') {
        out->push_back(e);
      } else if (e == 'x') {
        int hi = pos_ < line_.size() ? HexValue(line_[pos_]) : -1;
        int lo = pos_ + 1 < line_.size() ? HexValue(line_[pos_ + 1]) : -1;
        if (hi < 0 || lo < 0) return Fail("a \\x escape needs two hex digits", error);
        out->push_back(static_cast<char>(hi * 16 + lo));
        pos_ += 2;
      } else {
        return Fail(std::string("unknown escape \\") + e, error);
      }
    }
    return Fail("a quoted text is not closed", error);
  }

 private:
  static bool Fail(const std::string& what, std::string* error) {
    *error = what;
    return false;
  }
  std::string_view line_;
  size_t pos_ = 0;
};

bool ParseSettings(std::string_view text, KeyMap* keys, std::string* error) {
  KeyMap parsed;
  std::set<std::string> listedKeys;
  std::string currentKey;
  bool haveKey = false;
  bool haveHeader = false;
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto fail = [&](const std::string& what) {
      *error = "line " + std::to_string(lineNumber) + ": " + what;
      return false;
    };

    LineReader reader(line);
    if (!haveHeader) {
      if (line != kHeader)
        return fail("not a settings file (the first line is not \"" + std::string(kHeader) + "\")");
      haveHeader = true;
      continue;
    }
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;

    std::string what;
    if (line[first] != '"') {
      std::string word;
      reader.Word(&word);
      if (word != "key") return fail("expected key or a quoted value name, found \"" + word + "\"");
      std::string path;
      if (!reader.Quoted(&path, &what)) return fail(what);
      if (!reader.AtEnd()) return fail("unexpected text after the key name");
      currentKey = NormalizeKeyPath(path);
      if (!listedKeys.insert(currentKey).second) {
        return fail("key " + Quote(currentKey) + " is listed twice");
      }
      CreateKeyWithParents(&parsed, currentKey);
      haveKey = true;
      continue;
    }

    if (!haveKey) return fail("a value comes before any key");
    std::string name;
    if (!reader.Quoted(&name, &what)) return fail(what);
    std::string form;
    if (!reader.Word(&form)) return fail("the value's form is missing");
    SettingsValue value;
    std::string bytes;
    if (form == "number") {
      uint32_t number = 0;
      if (!reader.Number(&number, &what)) return fail(what);
      value = NumberValue(number);
    } else if (form == "text" || form == "binary" || form == "type") {
      value.type = form == "text" ? kRegTypeText : kRegTypeBinary;
      if (form == "type" && !reader.Number(&value.type, &what)) return fail(what);
      if (!reader.Quoted(&bytes, &what)) return fail(what);
      value.data.assign(bytes.begin(), bytes.end());
    } else {
      return fail("unknown value form \"" + form + "\"");
    }
    if (!reader.AtEnd()) return fail("unexpected text after the value");
    auto& values = parsed[currentKey];
    if (values.count(name) != 0) return fail("value " + Quote(name) + " is listed twice");
    values.emplace(name, std::move(value));
  }
  if (!haveHeader) {
    *error = "the file is empty";
    return false;
  }
  *keys = std::move(parsed);
  return true;
}

std::string FormatSettings(const KeyMap& keys) {
  std::string out(kHeader);
  out += "\n# Conduit settings. Quoted texts are bytes: \\\\, \\\" and \\xHH escapes.\n";
  for (const auto& [path, values] : keys) {
    out += "key " + Quote(path) + "\n";
    for (const auto& [name, v] : values) {
      out += "  " + Quote(name) + " ";
      if (v.type == kRegTypeNumber && v.data.size() == 4) {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | v.data[static_cast<size_t>(i)];
        out += "number " + std::to_string(n);
      } else if (v.type == kRegTypeText) {
        out += "text " + Quote(v.data);
      } else if (v.type == kRegTypeBinary) {
        out += "binary " + Quote(v.data);
      } else {
        out += "type " + std::to_string(v.type) + " " + Quote(v.data);
      }
      out += "\n";
    }
  }
  return out;
}

// Reads a whole file; `missing` tells a file that does not exist from one that cannot be read.
bool ReadSettingsFile(const std::string& path, std::string* bytes, bool* missing,
                      std::string* error) {
  *missing = false;
  int code = 0;
  switch (ReadWholeFile(path, bytes, &code)) {
    case WholeFileStatus::kRead:
      return true;
    case WholeFileStatus::kOpenFailed:
      if (code == ENOENT) {
        *missing = true;
        return true;
      }
      *error = "cannot open " + path + ": " + std::strerror(code);
      return false;
    case WholeFileStatus::kNotRegular:
      *error = "cannot read " + path + ": not a regular file";
      return false;
    case WholeFileStatus::kReadFailed:
      break;
  }
  *error = "cannot read " + path + ": " + std::strerror(code);
  return false;
}

}  // namespace

bool FileSettingsStore::Load(std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  std::string bytes;
  bool missing = false;
  if (!ReadSettingsFile(path_, &bytes, &missing, error)) return false;
  if (missing) {
    keys_.clear();
    return true;
  }
  KeyMap parsed;
  std::string reason;
  if (!ParseSettings(bytes, &parsed, &reason)) {
    *error = path_ + ": " + reason;
    return false;
  }
  keys_ = std::move(parsed);
  return true;
}

bool FileSettingsStore::Save() {
  LocalFileSystem fs;
  return fs.WriteAtomically(path_, FormatSettings(keys_));
}

bool FileSettingsStore::KeyExists(const std::string& path) {
  return KeyMapHas(keys_, NormalizeKeyPath(path));
}

std::optional<SettingsValue> FileSettingsStore::Get(const std::string& path,
                                                    const std::string& name) {
  return KeyMapGet(keys_, NormalizeKeyPath(path), name);
}

bool FileSettingsStore::Set(const std::string& path, const std::string& name,
                            const SettingsValue& v) {
  KeyMap before = keys_;
  std::string key = NormalizeKeyPath(path);
  CreateKeyWithParents(&keys_, key);
  keys_[key][name] = v;
  if (Save()) return true;
  keys_ = std::move(before);
  return false;
}

bool FileSettingsStore::Remove(const std::string& path, const std::string& name) {
  auto key = keys_.find(NormalizeKeyPath(path));
  if (key == keys_.end()) return false;
  auto value = key->second.find(name);
  if (value == key->second.end()) return false;
  SettingsValue removed = value->second;
  key->second.erase(value);
  if (Save()) return true;
  key->second.emplace(name, std::move(removed));
  return false;
}

bool FileSettingsStore::CreateKey(const std::string& path) {
  std::string key = NormalizeKeyPath(path);
  if (KeyMapHas(keys_, key)) return true;
  KeyMap before = keys_;
  CreateKeyWithParents(&keys_, key);
  if (Save()) return true;
  keys_ = std::move(before);
  return false;
}

std::map<std::string, SettingsValue> FileSettingsStore::List(const std::string& path) {
  return KeyMapList(keys_, NormalizeKeyPath(path));
}

}  // namespace velqor::platform

// ---- The registry functions ----

int32_t RegOpenKeyExA(HKEY key, const char* subKey, uint32_t options, uint32_t access,
                      HKEY* result) {
  using namespace velqor::platform;
  if (result == nullptr) return kRegBadArgument;
  *result = 0;
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto parent = t.keys.find(key);
  if (parent == t.keys.end()) return kRegBadHandle;
  OpenKey opened = parent->second;
  opened.path = JoinKeyPath(parent->second.path, subKey != nullptr ? subKey : "");
  opened.access = access;
  if (!opened.path.empty() && !opened.store->KeyExists(opened.path)) return kRegNotFound;
  if (!opened.store->AllowsOpen(opened.path, access)) return kRegAccessDenied;
  *result = t.Add(std::move(opened));
  return kRegOk;
}

int32_t RegQueryValueExA(HKEY key, const char* name, uint32_t* reserved, uint32_t* type,
                         uint8_t* data, uint32_t* dataSize) {
  using namespace velqor::platform;
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto open = t.keys.find(key);
  if (open == t.keys.end()) return kRegBadHandle;
  if ((open->second.access & kRegAccessQuery) == 0) return kRegAccessDenied;
  if (data != nullptr && dataSize == nullptr) return kRegBadArgument;
  auto value = open->second.store->Get(open->second.path, name != nullptr ? name : "");
  if (!value) return kRegNotFound;
  if (value->data.size() > UINT32_MAX) return kRegBadArgument;
  uint32_t size = static_cast<uint32_t>(value->data.size());
  if (type != nullptr) *type = value->type;
  if (dataSize == nullptr) return kRegOk;
  if (data == nullptr) {
    *dataSize = size;
    return kRegOk;
  }
  if (size > *dataSize) {
    *dataSize = size;
    return kRegMoreData;
  }
  if (size > 0) std::memcpy(data, value->data.data(), size);
  *dataSize = size;
  return kRegOk;
}

int32_t RegSetValueExA(HKEY key, const char* name, uint32_t reserved, uint32_t type,
                       const uint8_t* data, uint32_t dataSize) {
  using namespace velqor::platform;
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto open = t.keys.find(key);
  if (open == t.keys.end()) return kRegBadHandle;
  if ((open->second.access & kRegAccessSet) == 0) return kRegAccessDenied;
  if (data == nullptr && dataSize > 0) return kRegBadArgument;
  SettingsValue value;
  value.type = type;
  if (dataSize > 0) value.data.assign(data, data + dataSize);
  if (!open->second.store->Set(open->second.path, name != nullptr ? name : "", value)) {
    return kRegWriteFailed;
  }
  return kRegOk;
}

int32_t RegCloseKey(HKEY key) {
  using namespace velqor::platform;
  KeyTable& t = Keys();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto open = t.keys.find(key);
  if (open == t.keys.end()) return kRegBadHandle;
  // A root stays registered until its owner unregisters it.
  if (open->second.root != key) t.keys.erase(open);
  return kRegOk;
}
