#include "tools/profile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "platform/clock.h"
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
  p.lock = r + "/hotsync.lock";
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

HandheldStore::HandheldStore()
    : link_(std::make_unique<JournalingHandheld>(
          handheld_.get(), [this](const std::string& name) { return JournalFor(name); })) {}

HandheldStore::~HandheldStore() = default;

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
  return ReplayJournals(error);
}

// Each journal is replayed onto the file content it began from; a file that no longer holds
// that content was written after the journal's changes were made, so the journal is stale.
bool HandheldStore::ReplayJournals(std::string* error) {
  std::error_code ec;
  std::vector<std::string> journals;
  const std::string suffix = std::string(".pdb") + kJournalSuffix;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        it->is_regular_file()) {
      journals.push_back(it->path().string());
    }
  }
  std::sort(journals.begin(), journals.end());
  for (const std::string& path : journals) {
    const std::string target = path.substr(0, path.size() - std::strlen(kJournalSuffix));
    std::string bytes;
    if (!platform::GetFileSystem().ReadAll(path, &bytes)) {
      *error = path + ": cannot be read";
      return false;
    }
    JournalHeader header;
    std::vector<std::string> entries;
    if (!ParseJournal(bytes, &header, &entries)) {
      stale_.push_back(path);  // cut before its header was whole: no change was answered
      continue;
    }
    auto loaded = loaded_.find(header.name);
    bool applies = false;
    if (header.newDatabase) {
      applies =
          loaded == loaded_.end() && !platform::GetFileSystem().Exists(target) && !entries.empty();
    } else {
      applies = loaded != loaded_.end() && loaded->second.path == target &&
                loaded->second.bytes.size() == header.baseSize &&
                ContentHash(loaded->second.bytes) == header.baseHash;
    }
    if (!applies) {
      stale_.push_back(path);
      continue;
    }
    platform::HandheldDatabase db;
    if (!header.newDatabase) db = *handheld_->FindDatabase(header.name);
    for (const std::string& entry : entries) {
      if (!ApplyJournalEntry(entry, &db)) {
        *error = path + ": damaged journal entry";
        return false;
      }
    }
    if (db.name != header.name) {
      *error = path + ": the journal does not begin with its database";
      return false;
    }
    if (header.newDatabase) assigned_[header.name] = target;
    handheld_->AddDatabase(std::move(db));
    replayed_[header.name] = path;
  }
  return true;
}

bool HandheldStore::Recover(int64_t now, std::string* error) {
  if (!Save(now, nullptr, error)) return false;
  for (const std::string& path : stale_) {
    if (!platform::GetFileSystem().Delete(path) && platform::GetFileSystem().Exists(path)) {
      *error = path + ": cannot be removed";
      return false;
    }
  }
  stale_.clear();
  return true;
}

Journal* HandheldStore::JournalFor(const std::string& name) {
  auto open = journals_.find(name);
  if (open != journals_.end()) return open->second.get();
  JournalHeader header;
  header.name = name;
  std::string path;
  auto loaded = loaded_.find(name);
  if (loaded != loaded_.end()) {
    // Changes on top of a replayed journal that was never folded would need both; the owner
    // folds first (Recover), so a store without it journals nothing.
    if (replayed_.count(name)) return nullptr;
    header.baseSize = loaded->second.bytes.size();
    header.baseHash = ContentHash(loaded->second.bytes);
    path = loaded->second.path;
  } else {
    if (replayed_.count(name)) return nullptr;
    header.newDatabase = true;
    path = AssignPath(name);
  }
  auto journal = std::make_unique<Journal>(path + kJournalSuffix, header);
  Journal* raw = journal.get();
  journals_[name] = std::move(journal);
  return raw;
}

std::string HandheldStore::JournalFailure() const {
  for (const auto& [name, journal] : journals_) {
    if (!journal->failure().empty()) return journal->failure();
  }
  return failedJournal_;
}

bool HandheldStore::DropJournal(const std::string& name) {
  std::vector<std::string> paths;
  auto open = journals_.find(name);
  if (open != journals_.end()) {
    if (failedJournal_.empty()) failedJournal_ = open->second->failure();
    open->second->Close();
    paths.push_back(open->second->path());
    journals_.erase(open);
  }
  auto replayed = replayed_.find(name);
  if (replayed != replayed_.end()) {
    paths.push_back(replayed->second);
    replayed_.erase(replayed);
  }
  bool ok = true;
  for (const std::string& path : paths) {
    platform::FileSystem& files = platform::GetFileSystem();
    if (files.Exists(path) && !files.Delete(path)) ok = false;
  }
  return ok;
}

namespace {

std::string FileNameFor(const std::string& name) {
  std::string file;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == ' ';
    file.push_back(plain ? c : '_');
  }
  if (file.empty() || file[0] == '.') file.insert(file.begin(), '_');
  return file;
}

}  // namespace

std::string HandheldStore::PathOf(const std::string& name) const {
  auto it = loaded_.find(name);
  if (it != loaded_.end()) return it->second.path;
  auto assigned = assigned_.find(name);
  if (assigned != assigned_.end()) return assigned->second;
  // The file named after the database, unless it holds something else (another database, a
  // damaged file, a leftover journal): then the first free name beside it.
  const std::string base = folder_ + "/" + FileNameFor(name);
  for (int n = 1;; ++n) {
    const std::string path = n == 1 ? base + ".pdb" : base + "-" + std::to_string(n) + ".pdb";
    bool taken = platform::GetFileSystem().Exists(path) ||
                 platform::GetFileSystem().Exists(path + kJournalSuffix);
    for (const auto& [other, loaded] : loaded_) taken = taken || loaded.path == path;
    for (const auto& [other, file] : assigned_) taken = taken || file == path;
    if (!taken) return path;
  }
}

const std::string& HandheldStore::AssignPath(const std::string& name) {
  auto assigned = assigned_.find(name);
  if (assigned != assigned_.end()) return assigned->second;
  const std::string path = PathOf(name);
  return assigned_[name] = path;
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
    const std::string path = loaded_.count(db.name) ? PathOf(db.name) : AssignPath(db.name);
    if (!SerializePdb(file, &bytes, &why)) {
      *error = path + ": " + why;
      return false;
    }
    auto it = loaded_.find(db.name);
    if (it != loaded_.end() && it->second.bytes == bytes) {
      if (!DropJournal(db.name)) {
        *error = path + kJournalSuffix + ": cannot be removed";
        return false;
      }
      continue;
    }
    // A changed database records when it changed, in the time convention its file uses; the
    // handheld raises the modification number itself on the changes made through it.
    if (db.creationTime == 0) db.creationTime = UnixToPdbTime(now);
    db.modificationTime = UnixToPdbTimeLike(now, db.creationTime);
    if (it != loaded_.end() && db.modificationNumber == it->second.modificationNumber) {
      ++db.modificationNumber;
    }
    file = FileOf(db);
    if (!SerializePdb(file, &bytes, &why)) {
      *error = path + ": " + why;
      return false;
    }
    if (!platform::GetFileSystem().WriteAtomically(path, bytes)) {
      *error = path + ": cannot be written (the previous file is unchanged)";
      return false;
    }
    loaded_[db.name] = Loaded{path, file.layout, bytes, db.modificationNumber};
    assigned_.erase(db.name);
    if (written) written->push_back(path);
    if (!DropJournal(db.name)) {
      *error = path + kJournalSuffix + ": cannot be removed";
      return false;
    }
  }
  return true;
}

ProfileLock::~ProfileLock() {
  if (fd_ < 0) return;
  // Emptied again, so that a command leaves the profile as it found it; a killed holder leaves
  // its line, which the next holder replaces.
  [[maybe_unused]] const int rc = ::ftruncate(fd_, 0);
  ::close(fd_);
}

bool ProfileLock::Acquire(const ProfilePaths& paths, const std::string& command, int64_t now,
                          std::string* error) {
  int fd;
  do {
    fd = ::open(paths.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = paths.lock + ": cannot be opened: " + std::strerror(errno);
    return false;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int why = errno;
    std::string holder;
    char buffer[512];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    ::close(fd);
    if (why != EWOULDBLOCK) {
      *error = paths.lock + ": cannot be locked: " + std::strerror(why);
      return false;
    }
    if (n > 0) holder.assign(buffer, static_cast<size_t>(n));
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
    *error = paths.root + " is in use by another hotsync command" +
             (holder.empty() ? std::string() : " (" + holder + ")") +
             "; nothing was changed. Run this again when it has finished.";
    return false;
  }
  const std::string text = command + ", process " + std::to_string(::getpid()) + ", since " +
                           platform::FormatLocal(now, "%Y-%m-%d %H:%M:%S") + "\n";
  // Who holds it is only information for the one who waits: not being able to say it is no
  // reason to refuse the lock.
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t w = ::pwrite(fd, text.data(), text.size(), 0);
  }
  fd_ = fd;
  return true;
}

namespace {

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The temporary names of the file seam (".NAME.tmpPID.N") and of the table files
// ("NAME.tmpPID-N"): the file they stand for and the process that wrote them.
bool ParseTemporaryName(const std::string& name, std::string* base, long* pid) {
  const size_t tmp = name.rfind(".tmp");
  if (tmp == std::string::npos || tmp == 0) return false;
  const std::string tail = name.substr(tmp + 4);
  const bool hidden = name[0] == '.';
  const size_t sep = tail.find(hidden ? '.' : '-');
  if (sep == std::string::npos || !AllDigits(tail.substr(0, sep)) ||
      !AllDigits(tail.substr(sep + 1))) {
    return false;
  }
  *base = hidden ? name.substr(1, tmp - 1) : name.substr(0, tmp);
  *pid = std::strtol(tail.substr(0, sep).c_str(), nullptr, 10);
  return !base->empty();
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() > end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::vector<std::string> RemoveLeftovers(const ProfilePaths& paths) {
  static const char* const kUserFiles[] = {
      kLocalFileName, "datebook.bak",  "datebook.undelivered", "extract.dat",
      "update.dat",   "filehost.conf", "host-calendar.txt"};
  std::vector<std::string> removed;
  for (const std::string& folder : {paths.handheld, paths.user}) {
    const bool handheld = folder == paths.handheld;
    std::error_code ec;
    std::vector<fs::path> doomed;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      std::string base;
      long pid = 0;
      if (!ParseTemporaryName(it->path().filename().string(), &base, &pid)) continue;
      bool ours;
      if (handheld) {
        ours = EndsWith(base, ".pdb");
      } else {
        ours =
            std::find(std::begin(kUserFiles), std::end(kUserFiles), base) != std::end(kUserFiles) ||
            EndsWith(base, ".DBA") || fs::is_regular_file(fs::path(folder) / base, ec);
      }
      if (!ours) continue;
      // A writer that still runs may finish its file.
      if (pid <= 0 || pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 ||
          errno != ESRCH) {
        continue;
      }
      doomed.push_back(it->path());
    }
    for (const fs::path& path : doomed) {
      if (platform::GetFileSystem().Delete(path.string())) removed.push_back(path.string());
    }
  }
  return removed;
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
