// Categories of a table: sixteen indexes (0 is Unfiled), each with an ID, a name, a file name
// for its archive, and a flag that marks a name created or changed since the last sync.
#pragma once

#include <memory>
#include <string>
#include <vector>

enum CatError : long {
  kCatOk = 0,
  kCatBadIndex = 1,    // index outside 0 to 15
  kCatIndexTaken = 2,  // another category has the index
  kCatNotFound = 4,    // no category with that ID or index
  kCatNullCategory = 5,
};

class CCategory {
 public:
  CCategory() = default;
  CCategory(int id, int index, std::string name);
  virtual ~CCategory() = default;

  int GetID() const { return id_; }
  void SetID(int id) { id_ = id; }
  int GetIndex() const { return index_; }
  void SetIndex(int index) { index_ = index; }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  // The name used for the category's archive file: the explicit one if set, else the name with
  // every character that is not a letter, digit, '-' or '_' turned into '_'; "Unfiled" for an
  // empty name.
  std::string GetFileName() const;
  void SetFileName(const std::string& fileName) { fileName_ = fileName; }
  int IsNameDirty() const { return nameDirty_; }
  void SetNameDirty(int dirty) { nameDirty_ = dirty ? 1 : 0; }

 private:
  int id_ = 0;
  int index_ = 0;
  std::string name_;
  std::string fileName_;
  int nameDirty_ = 0;
};

class CCategoryMgr {
 public:
  CCategoryMgr() = default;
  virtual ~CCategoryMgr() = default;
  CCategoryMgr(const CCategoryMgr&) = delete;
  CCategoryMgr& operator=(const CCategoryMgr&) = delete;

  // Takes ownership when it returns kCatOk; otherwise the caller keeps the category.
  long Add(CCategory* category);
  long Delete(int index);              // kCatOk or kCatNotFound
  void DeleteAllCategories(int flag);  // flag is accepted for callers' sake and ignored
  // In index order; null after the last. FindNext continues from the last FindFirst/FindNext.
  CCategory* FindFirst();
  CCategory* FindNext();
  CCategory* FindName(const std::string& name);  // exact, case-sensitive; null when absent
  long FindID(int id, CCategory** out);          // kCatNotFound (4) and null when absent
  long FindIndex(int index, CCategory** out);    // kCatNotFound and null when absent
  int GetFreeIndex() const;  // lowest free index from 1 to 15, -1 when all are taken
  int GetCount() const { return static_cast<int>(categories_.size()); }
  void CopyFrom(const CCategoryMgr& other);

 private:
  std::vector<std::unique_ptr<CCategory>> categories_;  // kept in index order
  size_t cursor_ = 0;
};
