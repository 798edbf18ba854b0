#include "tools/profile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "platform/files.h"
#include "tools/datebook_db.h"
#include "tools/pdb_file.h"

namespace velqor::tools {

namespace fs = std::filesystem;

ProfilePaths PathsOf(const std::string& root) {
  std::error_code ec;
  fs::path abs = fs::absolute(root, ec);
  std::string r = ec ? root : abs.lexically_normal().string();
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  ProfilePaths p;
  p.root = r;
  p.handheld = r + "/handheld";
  p.user = r + "/user";
  p.settings = r + "/settings";
  p.log = r + "/hotsync.log";
  return p;
}

bool CheckProfile(const ProfilePaths& paths, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(paths.root, ec)) {
    *error = paths.root + ": no such profile (create one with hotsync init)";
    return false;
  }
  if (!fs::is_regular_file(paths.settings, ec)) {
    *error = paths.root + ": not a profile: its settings file is missing";
    return false;
  }
  if (!fs::is_directory(paths.handheld, ec)) {
    *error = paths.root + ": not a profile: its handheld folder is missing";
    return false;
  }
  if (!fs::is_directory(paths.user, ec)) {
    *error = paths.root + ": not a profile: its user folder is missing";
    return false;
  }
  return true;
}

bool HandheldStore::Load(const std::string& folder, std::string* error) {
  folder_ = folder;
  std::error_code ec;
  std::vector<std::string> files;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    if (p.extension() == ".pdb" && it->is_regular_file()) files.push_back(p.string());
  }
  if (ec) {
    *error = folder + ": cannot be listed: " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    std::string bytes;
    if (!platform::GetFileSystem().ReadAll(path, &bytes)) {
      *error = path + ": cannot be read";
      return false;
    }
    PdbFile file;
    std::string why;
    if (!ParsePdb(bytes, &file, &why)) {
      *error = path + ": damaged database file: " + why;
      return false;
    }
    if (loaded_.count(file.db.name)) {
      *error = path + ": holds the database '" + file.db.name + "', which " +
               loaded_[file.db.name].path + " holds too";
      return false;
    }
    loaded_[file.db.name] = Loaded{path, file.layout, std::move(bytes), file.db.modificationNumber};
    handheld_->AddDatabase(std::move(file.db));
  }
  return true;
}

std::string HandheldStore::PathOf(const std::string& name) const {
  auto it = loaded_.find(name);
  if (it != loaded_.end()) return it->second.path;
  std::string file;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == ' ';
    file.push_back(plain ? c : '_');
  }
  if (file.empty() || file[0] == '.') file.insert(file.begin(), '_');
  return folder_ + "/" + file + ".pdb";
}

PdbFile HandheldStore::FileOf(const platform::HandheldDatabase& db) const {
  PdbFile file;
  file.db = db;
  auto it = loaded_.find(db.name);
  if (it != loaded_.end()) file.layout = it->second.layout;
  return file;
}

bool HandheldStore::Save(int64_t now, std::vector<std::string>* written, std::string* error) {
  for (const auto& dbPtr : handheld_->databases()) {
    platform::HandheldDatabase& db = *dbPtr;
    // The handheld's Date Book application completes a block shorter than its own (as a
    // conduit leaves it in a database it created) before anything reads it; other tools
    // refuse a Date Book without the whole block.
    if (db.creator == FourCC("date") && db.type == FourCC("DATA") && db.hasAppInfo &&
        db.appInfo.size() < kDatebookAppInfoSize) {
      db.appInfo.resize(kDatebookAppInfoSize, 0);
    }
    PdbFile file = FileOf(db);
    std::string bytes;
    std::string why;
    if (!SerializePdb(file, &bytes, &why)) {
      *error = PathOf(db.name) + ": " + why;
      return false;
    }
    auto it = loaded_.find(db.name);
    if (it != loaded_.end() && it->second.bytes == bytes) continue;
    // A changed database records when it changed, in the time convention its file uses; the
    // handheld raises the modification number itself on the changes made through it.
    if (db.creationTime == 0) db.creationTime = UnixToPdbTime(now);
    db.modificationTime = UnixToPdbTimeLike(now, db.creationTime);
    if (it != loaded_.end() && db.modificationNumber == it->second.modificationNumber) {
      ++db.modificationNumber;
    }
    file = FileOf(db);
    if (!SerializePdb(file, &bytes, &why)) {
      *error = PathOf(db.name) + ": " + why;
      return false;
    }
    const std::string path = PathOf(db.name);
    if (!platform::GetFileSystem().WriteAtomically(path, bytes)) {
      *error = path + ": cannot be written (the previous file is unchanged)";
      return false;
    }
    loaded_[db.name] = Loaded{path, file.layout, bytes, db.modificationNumber};
    if (written) written->push_back(path);
  }
  return true;
}

std::optional<uint32_t> GetNumber(platform::SettingsStore& store, const std::string& key,
                                  const std::string& name) {
  auto v = store.Get(key, name);
  if (!v || v->data.size() != 4) return std::nullopt;
  return static_cast<uint32_t>(v->data[0]) | static_cast<uint32_t>(v->data[1]) << 8 |
         static_cast<uint32_t>(v->data[2]) << 16 | static_cast<uint32_t>(v->data[3]) << 24;
}

std::optional<std::string> GetText(platform::SettingsStore& store, const std::string& key,
                                   const std::string& name) {
  auto v = store.Get(key, name);
  if (!v) return std::nullopt;
  std::string s(v->data.begin(), v->data.end());
  const size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

bool AppendToFile(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace velqor::tools
