// The category block: a name-change mask, sixteen names and sixteen IDs at the start of a
// database's application information block.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "convert/datebook_converter.h"
#include "platform/handles.h"

namespace {

// The block's bytes, or null when the record has none or fewer than the block needs.
uint8_t* BlockBytes(const CategoryBlockRecord& block) {
  if (block.bufferSize < kCatBlockSize) return nullptr;
  return velqor::platform::ResolveAs<uint8_t>(block.buffer);
}

}  // namespace

long CDateBkConverter::RawToCategories(CategoryBlockRecord& block, CCategoryMgr& categories) {
  const uint8_t* bytes = BlockBytes(block);
  if (bytes == nullptr) return kConvNoBlockRead;
  const uint16_t mask = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
  for (int i = 0; i < kCatCount; ++i) {
    const char* slot = reinterpret_cast<const char*>(bytes + kCatNamesOffset + kCatNameSize * i);
    // A slot without a NUL gives its first 15 characters, as long a name as the handheld has.
    const size_t length = strnlen(slot, kCatNameSize - 1);
    if (length == 0) continue;  // a free index
    auto* category = new (std::nothrow) CCategory();
    if (category == nullptr) continue;
    category->SetIndex(i);
    category->SetName(std::string(slot, length));
    category->SetID(bytes[kCatIdsOffset + i]);
    category->SetNameDirty((mask >> i) & 1);
    if (categories.Add(category) != kCatOk) delete category;
  }
  return 0;
}

long CDateBkConverter::CategoriesToRaw(CategoryBlockRecord& block, CCategoryMgr& categories) {
  uint8_t* bytes = BlockBytes(block);
  if (bytes == nullptr) return kConvNoBlockWrite;
  // The mask, names and IDs are rewritten; bytes after them stay as read from the handheld.
  std::memset(bytes, 0, kCatBlockSize);
  for (int j = 0; j < kCatCount; ++j) {
    CCategory* category = nullptr;
    categories.FindIndex(j, &category);
    if (category == nullptr) continue;
    const std::string& name = category->GetName();
    const size_t length = std::min(strnlen(name.c_str(), name.size()), size_t{kCatNameSize - 1});
    std::memcpy(bytes + kCatNamesOffset + kCatNameSize * j, name.data(), length);
    bytes[kCatIdsOffset + j] = static_cast<uint8_t>(category->GetID());
  }
  return 0;
}
