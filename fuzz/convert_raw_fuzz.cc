// Feeds arbitrary handheld records and category blocks, with arbitrary record sizes and buffer
// capacities, to the Date Book converter, and writes each converted record back.
//
// Input: attributes (1), time zone choice (1), capacity (2), record size (4), category buffer
// size (2), all little-endian, then the bytes that fill both buffers.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "convert/datebook_converter.h"
#include "platform/clock.h"
#include "platform/handles.h"

namespace {

constexpr size_t kHeader = 10;

void ChooseZone(uint8_t choice) {
  static const char* const kZones[] = {"UTC", "America/New_York", "Europe/Berlin"};
  static int current = -1;
  const int zone = choice % 3;
  if (zone == current) return;
  setenv("TZ", kZones[zone], 1);
  velqor::platform::ReloadTimeZone();
  current = zone;
}

// A buffer of exactly `size` bytes, filled from the input and then with zeros, as the engine's
// buffers are.
std::vector<uint8_t> Fill(const uint8_t* data, size_t available, size_t size) {
  std::vector<uint8_t> bytes(size);
  const size_t n = available < size ? available : size;
  if (n > 0) std::memcpy(bytes.data(), data, n);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  static CDateBkConverter converter;
  static CDateBkTable table;
  static CDateBkRecord record(table, 0);
  if (!record.IsPositioned() && table.AppendBlankRecord(record) != 0) return 0;

  ChooseZone(data[1]);
  const uint16_t capacity = static_cast<uint16_t>(data[2] | data[3] << 8);
  const uint32_t recordSize = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
                              static_cast<uint32_t>(data[6]) << 16 |
                              static_cast<uint32_t>(data[7]) << 24;
  const uint16_t blockSize = static_cast<uint16_t>(data[8] | data[9] << 8);
  const uint8_t* payload = data + kHeader;
  const size_t payloadSize = size - kHeader;

  // Handheld record to desktop record: the buffer is exactly `capacity` bytes long.
  std::vector<uint8_t> in = Fill(payload, payloadSize, capacity);
  RawRecord raw{};
  raw.attributes = data[0];
  raw.categoryId = static_cast<int16_t>(data[1] << 8 | data[0]);
  raw.size = recordSize;
  raw.capacity = capacity;
  raw.buffer = velqor::platform::RegisterPointer(in.data());
  const long status = converter.RawToRecord(record, raw);
  velqor::platform::ReleasePointer(raw.buffer);

  // And back, into a buffer of the same exact capacity.
  if (status == 0 || status == kConvMovedTo1970) {
    std::vector<uint8_t> out(capacity);
    RawRecord back{};
    back.capacity = capacity;
    back.buffer = velqor::platform::RegisterPointer(out.data());
    if (converter.RecordToRaw(record, back) == 0 && back.size > capacity) std::abort();
    velqor::platform::ReleasePointer(back.buffer);
  }

  // The same bytes as a category block, read and written back.
  std::vector<uint8_t> blockBytes = Fill(payload, payloadSize, blockSize);
  CategoryBlockRecord block{};
  block.bufferSize = blockSize;
  block.buffer = velqor::platform::RegisterPointer(blockBytes.data());
  CCategoryMgr categories;
  if (converter.RawToCategories(block, categories) == 0) {
    converter.CategoriesToRaw(block, categories);
  }
  velqor::platform::ReleasePointer(block.buffer);
  return 0;
}
