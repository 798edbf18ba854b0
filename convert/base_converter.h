// Converters turn the handheld's packed records and category block into desktop records and
// categories and back. The base class owns the text buffer handheld texts are converted into;
// its conversions answer -1 (not supported).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/hotsync_types.h"
#include "platform/table/table.h"

inline constexpr long kConvNoTextBuffer = 4106;  // record or text buffer missing
inline constexpr long kConvNoBlockWrite = 4109;
inline constexpr long kConvNoBlockRead = 4110;
inline constexpr long kConvRecordTooBig = 4111;  // the record's fixed parts exceed the buffer
inline constexpr long kConvBadRecord = 4112;     // a live handheld record without its fixed part
inline constexpr long kConvMovedTo1970 = 4176;
inline constexpr uint32_t kConvTextBufferSize = 8192;

class CBaseConverter {
 public:
  CBaseConverter();
  virtual ~CBaseConverter();
  CBaseConverter(const CBaseConverter&) = delete;
  CBaseConverter& operator=(const CBaseConverter&) = delete;

  virtual long RecordToRaw(CBaseRecord& record, RawRecord& raw);
  virtual long RawToRecord(CBaseRecord& record, RawRecord& raw);
  virtual long RawToCategories(CategoryBlockRecord& block, CCategoryMgr& categories);
  virtual long CategoriesToRaw(CategoryBlockRecord& block, CCategoryMgr& categories);
  // A hook before records are exchanged; does nothing here.
  virtual long PrepareSync(CategoryBlockRecord& block, CBaseTable* desktop, int32_t syncType,
                           int32_t firstSync);
  // Reverses the byte order of each record ID the request returned, in place.
  virtual long SwapPositionMap(RecordIdListRequest& request);

  // Converts `length` bytes of a handheld text (LF line ends) into the text buffer with a CR
  // before every LF, NUL-terminated. The text ends early at a NUL. A text whose converted form
  // would not fit is cut to fit, never between a CR and its LF. Without a text buffer: 4106.
  long CopyAddCR(const char* text, uint32_t length);
  // The text buffer's contents (null when it could not be allocated).
  const char* Text() const { return text_.get(); }

 protected:
  char* TextBuffer() { return text_.get(); }  // null when it could not be allocated
  std::unique_ptr<char[]> text_;
};
