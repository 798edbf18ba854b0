#include "platform/table/category.h"

#include <utility>

namespace {

constexpr int kFirstIndex = 0;
constexpr int kLastIndex = 15;

bool IsFileNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Only plain characters reach a file name, so no name can lead out of the archive directory
// or name a device.
std::string SafeFileName(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (!IsFileNameChar(c)) c = '_';
  }
  return out;
}

}  // namespace

CCategory::CCategory(int id, int index, std::string name)
    : id_(id), index_(index), name_(std::move(name)) {}

std::string CCategory::GetFileName() const {
  // An explicit file name may come from a file; it passes the same filter as a name.
  if (!fileName_.empty()) return SafeFileName(fileName_);
  if (name_.empty()) return "Unfiled";
  return SafeFileName(name_);
}

long CCategoryMgr::Add(CCategory* category) {
  if (category == nullptr) return kCatNullCategory;
  const int index = category->GetIndex();
  if (index < kFirstIndex || index > kLastIndex) return kCatBadIndex;
  size_t at = 0;
  while (at < categories_.size() && categories_[at]->GetIndex() < index) ++at;
  if (at < categories_.size() && categories_[at]->GetIndex() == index) return kCatIndexTaken;
  categories_.insert(categories_.begin() + static_cast<std::ptrdiff_t>(at),
                     std::unique_ptr<CCategory>(category));
  // A walk in progress neither repeats nor skips a category because of the insertion.
  if (at < cursor_) ++cursor_;
  return kCatOk;
}

long CCategoryMgr::Delete(int index) {
  for (size_t at = 0; at < categories_.size(); ++at) {
    if (categories_[at]->GetIndex() != index) continue;
    categories_.erase(categories_.begin() + static_cast<std::ptrdiff_t>(at));
    // Deleting the category a walk stands on lets FindNext continue with the one after it.
    if (at < cursor_) --cursor_;
    return kCatOk;
  }
  return kCatNotFound;
}

void CCategoryMgr::DeleteAllCategories(int /*flag*/) {
  categories_.clear();
  cursor_ = 0;
}

CCategory* CCategoryMgr::FindFirst() {
  cursor_ = 0;
  return FindNext();
}

CCategory* CCategoryMgr::FindNext() {
  if (cursor_ >= categories_.size()) return nullptr;
  return categories_[cursor_++].get();
}

CCategory* CCategoryMgr::FindName(const std::string& name) {
  for (const auto& category : categories_) {
    if (category->GetName() == name) return category.get();
  }
  return nullptr;
}

long CCategoryMgr::FindID(int id, CCategory** out) {
  for (const auto& category : categories_) {
    if (category->GetID() == id) {
      if (out != nullptr) *out = category.get();
      return kCatOk;
    }
  }
  if (out != nullptr) *out = nullptr;
  return kCatNotFound;
}

long CCategoryMgr::FindIndex(int index, CCategory** out) {
  for (const auto& category : categories_) {
    if (category->GetIndex() == index) {
      if (out != nullptr) *out = category.get();
      return kCatOk;
    }
  }
  if (out != nullptr) *out = nullptr;
  return kCatNotFound;
}

int CCategoryMgr::GetFreeIndex() const {
  // Index 0 is Unfiled and never handed out.
  for (int index = kFirstIndex + 1; index <= kLastIndex; ++index) {
    bool taken = false;
    for (const auto& category : categories_) {
      if (category->GetIndex() == index) {
        taken = true;
        break;
      }
    }
    if (!taken) return index;
  }
  return -1;
}

void CCategoryMgr::CopyFrom(const CCategoryMgr& other) {
  if (&other == this) return;
  std::vector<std::unique_ptr<CCategory>> copy;
  copy.reserve(other.categories_.size());
  for (const auto& category : other.categories_) {
    copy.push_back(std::make_unique<CCategory>(*category));
  }
  categories_ = std::move(copy);
  cursor_ = 0;
}
