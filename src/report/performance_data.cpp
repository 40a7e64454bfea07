#include "report/performance_data.h"

#include <winperf.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

// The bytes of one block, read only in ranges that lie wholly inside them. Offsets are
// 64-bit so that adding a 32-bit length from the data never wraps, on either
// architecture. Structures are copied out rather than pointed at: a malformed block may
// put them at any alignment.
class BlockReader {
 public:
  BlockReader(const BYTE* data, std::uint64_t size) : data_(data), size_(data != nullptr ? size : 0) {}

  std::uint64_t size() const { return size_; }
  void Limit(std::uint64_t size) { size_ = std::min(size_, size); }

  bool Fits(std::uint64_t offset, std::uint64_t bytes) const { return offset <= size_ && bytes <= size_ - offset; }

  template <typename T>
  bool Read(std::uint64_t offset, T* out) const {
    if (!Fits(offset, sizeof(T))) return false;
    std::memcpy(out, data_ + offset, sizeof(T));
    return true;
  }

  // The wide text at offset, of at most maxBytes, up to its terminator. False when the
  // range leaves the block.
  bool ReadText(std::uint64_t offset, std::uint64_t maxBytes, std::wstring* out) const {
    if (!Fits(offset, maxBytes)) return false;
    out->clear();
    for (std::uint64_t at = 0; at + sizeof(wchar_t) <= maxBytes; at += sizeof(wchar_t)) {
      wchar_t c;
      std::memcpy(&c, data_ + offset + at, sizeof(c));
      if (c == L'\0') break;
      out->push_back(c);
    }
    return true;
  }

 private:
  const BYTE* data_;
  std::uint64_t size_;
};

// The data a block declares for itself ends at its total length; nothing beyond the
// bytes the query returned is read in any case.
bool ReadDataBlock(BlockReader& reader, PERF_DATA_BLOCK* block) {
  if (!reader.Read(0, block)) return false;
  reader.Limit(block->TotalByteLength);
  return true;
}

}  // namespace

LONG QuerySystemPerformanceData(const wchar_t* items, BYTE* buffer, DWORD* bytes) {
  return ::RegQueryValueExW(HKEY_PERFORMANCE_DATA, items, nullptr, nullptr, buffer, bytes);
}

SystemUpTimeReading ReadSystemUpTime(const BYTE* data, std::size_t size) {
  using Status = SystemUpTimeReading::Status;
  SystemUpTimeReading reading;
  BlockReader reader(data, size);
  PERF_DATA_BLOCK block;
  if (!reader.Read(0, &block)) return reading;
  reading.headerLength = block.HeaderLength;
  reading.totalLength = block.TotalByteLength;
  if (block.TotalByteLength <= block.HeaderLength) {
    reading.status = Status::kHeaderOnly;
    return reading;
  }
  reader.Limit(block.TotalByteLength);

  const std::uint64_t objectAt = block.HeaderLength;
  PERF_OBJECT_TYPE object;
  if (!reader.Read(objectAt, &object)) return reading;
  const std::uint64_t definitionsEnd = objectAt + object.DefinitionLength;
  std::uint64_t definitionAt = objectAt + object.HeaderLength;
  for (DWORD index = 0; index < object.NumCounters; ++index) {
    PERF_COUNTER_DEFINITION definition;
    if (definitionAt + sizeof(definition) > definitionsEnd || !reader.Read(definitionAt, &definition) ||
        definition.ByteLength < sizeof(definition)) {
      return reading;
    }
    if (definition.CounterNameTitleIndex == kSystemUpTimeCounter) {
      std::int64_t started = 0;
      if (!reader.Read(definitionsEnd + definition.CounterOffset, &started)) return reading;
      const std::int64_t now = object.PerfTime.QuadPart;
      const std::int64_t frequency = object.PerfFreq.QuadPart;
      if (frequency <= 0) return reading;
      reading.status = Status::kRead;
      if (now >= started) {
        // The difference of two signed values fits an unsigned one; the quotient may not
        // fit a signed one only for a frequency of one tick per second and absurd times.
        const std::uint64_t ticks = static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(started);
        const std::uint64_t seconds = ticks / static_cast<std::uint64_t>(frequency);
        if (seconds > static_cast<std::uint64_t>(INT64_MAX)) {
          reading.status = Status::kMalformed;
          return reading;
        }
        reading.seconds = static_cast<std::int64_t>(seconds);
      }
      return reading;
    }
    definitionAt += definition.ByteLength;
  }
  reading.status = Status::kRead;  // no up-time counter: -1
  return reading;
}

PerformanceProcessList ReadPerformanceProcesses(const BYTE* data, std::size_t size, DWORD idCounterIndex,
                                                std::size_t maxInstances) {
  PerformanceProcessList list;
  BlockReader reader(data, size);
  PERF_DATA_BLOCK block;
  if (!ReadDataBlock(reader, &block) || std::wmemcmp(block.Signature, L"PERF", 4) != 0) return list;
  // A block that holds no object (Wine answers with the header alone) lists nothing.
  if (block.NumObjectTypes == 0) {
    list.wellFormed = true;
    return list;
  }

  const std::uint64_t objectAt = block.HeaderLength;
  PERF_OBJECT_TYPE object;
  if (!reader.Read(objectAt, &object)) return list;
  const std::uint64_t definitionsEnd = objectAt + object.DefinitionLength;

  DWORD idOffset = 0;
  for (std::uint64_t at = objectAt + object.HeaderLength; at < definitionsEnd;) {
    PERF_COUNTER_DEFINITION definition;
    if (!reader.Read(at, &definition) || definition.ByteLength < sizeof(definition)) return list;
    if (definition.CounterNameTitleIndex == idCounterIndex) {
      idOffset = definition.CounterOffset;
      break;
    }
    at += definition.ByteLength;
  }

  const std::size_t count =
      object.NumInstances <= 0 ? 0 : std::min(static_cast<std::size_t>(object.NumInstances), maxInstances);
  std::uint64_t instanceAt = definitionsEnd;
  for (std::size_t index = 0; index < count; ++index) {
    PERF_INSTANCE_DEFINITION instance;
    if (!reader.Read(instanceAt, &instance) || instance.ByteLength < sizeof(instance)) return list;
    PerformanceProcess process;
    if (!reader.ReadText(instanceAt + instance.NameOffset, instance.NameLength, &process.name)) return list;
    const std::uint64_t countersAt = instanceAt + instance.ByteLength;
    PERF_COUNTER_BLOCK counters;
    if (!reader.Read(countersAt, &counters) || counters.ByteLength < sizeof(counters) ||
        std::uint64_t{idOffset} + sizeof(process.id) > counters.ByteLength ||
        !reader.Read(countersAt + idOffset, &process.id)) {
      return list;
    }
    list.processes.push_back(std::move(process));
    instanceAt = countersAt + counters.ByteLength;
  }
  list.wellFormed = true;
  return list;
}

ProcessCounterIndexes FindProcessCounterIndexes(const wchar_t* names, std::size_t chars) {
  ProcessCounterIndexes found;
  if (names == nullptr) return found;
  // The digits at the end of the text before the name: its index.
  const auto trailingDigits = [](const std::wstring& text) {
    std::size_t from = text.size();
    while (from > 0 && std::iswdigit(text[from - 1])) --from;
    return text.substr(from);
  };
  std::wstring previous;
  for (std::size_t at = 0; at < chars;) {
    const std::size_t length = ::wcsnlen(names + at, chars - at);
    if (length == 0) break;
    std::wstring text(names + at, length);
    if (::_wcsicmp(text.c_str(), L"process") == 0) {
      found.processFound = true;
      found.processItem = trailingDigits(previous);
    } else if (::_wcsicmp(text.c_str(), L"id process") == 0) {
      found.idProcessIndex = static_cast<DWORD>(::_wtoi(trailingDigits(previous).c_str()));
    }
    previous = std::move(text);
    at += length + 1;
  }
  return found;
}
