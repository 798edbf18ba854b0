#include "convert/base_converter.h"

#include <cstring>
#include <new>

#include "convert/datebook_converter.h"
#include "platform/handles.h"

CBaseConverter::CBaseConverter() : text_(new (std::nothrow) char[kConvTextBufferSize]()) {}

CBaseConverter::~CBaseConverter() = default;

long CBaseConverter::RecordToRaw(CBaseRecord&, RawRecord&) {
  return -1;
}
long CBaseConverter::RawToRecord(CBaseRecord&, RawRecord&) {
  return -1;
}
long CBaseConverter::RawToCategories(CategoryBlockRecord&, CCategoryMgr&) {
  return -1;
}
long CBaseConverter::CategoriesToRaw(CategoryBlockRecord&, CCategoryMgr&) {
  return -1;
}

long CBaseConverter::PrepareSync(CategoryBlockRecord&, CBaseTable*, int32_t, int32_t) {
  return 0;
}

long CBaseConverter::SwapPositionMap(RecordIdListRequest& request) {
  auto* ids = velqor::platform::ResolveAs<uint8_t>(request.buffer);
  if (ids == nullptr) return 0;
  // Only the IDs that were returned and that lie inside the buffer are turned.
  uint32_t count = request.returned;
  if (count > request.maxEntries) count = request.maxEntries;
  if (count > request.bufferSize / 4u) count = request.bufferSize / 4u;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t id;
    std::memcpy(&id, ids + 4 * i, sizeof id);  // the buffer need not be aligned
    id = SwapLong(id);
    std::memcpy(ids + 4 * i, &id, sizeof id);
  }
  return 0;
}

long CBaseConverter::CopyAddCR(const char* text, uint32_t length) {
  char* out = TextBuffer();
  if (out == nullptr) return kConvNoTextBuffer;
  const uint32_t last = kConvTextBufferSize - 1;  // room kept for the NUL
  uint32_t written = 0;
  for (uint32_t i = 0; i < length && text[i] != '\0'; ++i) {
    if (text[i] == '\n') {
      if (written + 2 > last) break;  // a CR without its LF would be a different text
      out[written++] = '\r';
    } else if (written + 1 > last) {
      break;
    }
    out[written++] = text[i];
  }
  out[written] = '\0';
  return 0;
}
