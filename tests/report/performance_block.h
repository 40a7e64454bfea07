#pragma once

#include <windows.h>

#include <winperf.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// Performance data blocks laid out as the registry hands them out, built by the tests
// (Wine answers with a bare header), with the offsets of their parts so that a test can
// spoil one field.
struct PerformanceBlock {
  std::vector<BYTE> bytes;
  std::size_t objectAt = 0;
  std::size_t firstDefinitionAt = 0;
  std::vector<std::size_t> instanceAt;  // objects with instances
  std::vector<std::size_t> countersAt;  // each instance's counter block, or the object's one

  template <typename T>
  void Patch(std::size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
  }
  DWORD size() const { return static_cast<DWORD>(bytes.size()); }
};

namespace performance_block_detail {

template <typename T>
std::size_t Append(std::vector<BYTE>& bytes, const T& value) {
  const std::size_t at = bytes.size();
  bytes.resize(at + sizeof(T));
  std::memcpy(bytes.data() + at, &value, sizeof(T));
  return at;
}

inline PERF_DATA_BLOCK Header() {
  PERF_DATA_BLOCK header{};
  std::memcpy(header.Signature, L"PERF", sizeof(header.Signature));
  header.LittleEndian = 1;
  header.Version = 1;
  header.HeaderLength = sizeof(PERF_DATA_BLOCK);
  header.NumObjectTypes = 1;
  return header;
}

inline PERF_COUNTER_DEFINITION Counter(DWORD titleIndex, DWORD offset, DWORD size) {
  PERF_COUNTER_DEFINITION counter{};
  counter.ByteLength = sizeof(PERF_COUNTER_DEFINITION);
  counter.CounterNameTitleIndex = titleIndex;
  counter.CounterSize = size;
  counter.CounterOffset = offset;
  return counter;
}

// The data block header and the object, with the parts' offsets noted; the counter
// definitions follow.
inline PerformanceBlock StartBlock(const PERF_OBJECT_TYPE& object) {
  PerformanceBlock block;
  Append(block.bytes, Header());
  block.objectAt = Append(block.bytes, object);
  block.firstDefinitionAt = block.bytes.size();
  return block;
}

// Sets the lengths that are only known once the whole block is built.
inline void Finish(PerformanceBlock& block) {
  block.Patch(offsetof(PERF_DATA_BLOCK, TotalByteLength), static_cast<DWORD>(block.bytes.size()));
  block.Patch(block.objectAt + offsetof(PERF_OBJECT_TYPE, TotalByteLength),
              static_cast<DWORD>(block.bytes.size() - block.objectAt));
}

}  // namespace performance_block_detail

// A System object without instances whose counter block holds one 64-bit value per
// counter, in order.
inline PerformanceBlock SystemObjectBlock(const std::vector<std::pair<DWORD, std::int64_t>>& counters,
                                          std::int64_t performanceTime, std::int64_t frequency) {
  using namespace performance_block_detail;
  PERF_OBJECT_TYPE object{};
  object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
  object.DefinitionLength =
      static_cast<DWORD>(sizeof(PERF_OBJECT_TYPE) + counters.size() * sizeof(PERF_COUNTER_DEFINITION));
  object.ObjectNameTitleIndex = 2;
  object.NumCounters = static_cast<DWORD>(counters.size());
  object.NumInstances = PERF_NO_INSTANCES;
  object.PerfTime.QuadPart = performanceTime;
  object.PerfFreq.QuadPart = frequency;
  PerformanceBlock block = StartBlock(object);
  for (std::size_t n = 0; n < counters.size(); ++n) {
    Append(block.bytes, Counter(counters[n].first, static_cast<DWORD>(sizeof(PERF_COUNTER_BLOCK) + 4 + n * 8), 8));
  }
  PERF_COUNTER_BLOCK counterBlock{};
  counterBlock.ByteLength = static_cast<DWORD>(sizeof(PERF_COUNTER_BLOCK) + 4 + counters.size() * 8);
  block.countersAt.push_back(Append(block.bytes, counterBlock));
  block.bytes.resize(block.bytes.size() + 4);  // aligns the values to 8 bytes
  for (const auto& counter : counters) Append(block.bytes, counter.second);
  Finish(block);
  return block;
}

// A Process object with one instance per name; each instance's counter block holds a
// filler word, then the id under the counter whose title index is idCounterIndex.
inline PerformanceBlock ProcessObjectBlock(const std::vector<std::pair<std::wstring, DWORD>>& processes,
                                           DWORD idCounterIndex) {
  using namespace performance_block_detail;
  PERF_OBJECT_TYPE object{};
  object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
  object.DefinitionLength = sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
  object.ObjectNameTitleIndex = 230;
  object.NumCounters = 2;
  object.NumInstances = static_cast<LONG>(processes.size());
  PerformanceBlock block = StartBlock(object);
  constexpr DWORD kIdOffset = sizeof(PERF_COUNTER_BLOCK) + 4;
  Append(block.bytes, Counter(idCounterIndex + 2, sizeof(PERF_COUNTER_BLOCK), 4));
  Append(block.bytes, Counter(idCounterIndex, kIdOffset, 4));
  for (const auto& [name, id] : processes) {
    PERF_INSTANCE_DEFINITION instance{};
    instance.NameOffset = sizeof(PERF_INSTANCE_DEFINITION);
    instance.NameLength = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    instance.ByteLength = static_cast<DWORD>((sizeof(PERF_INSTANCE_DEFINITION) + instance.NameLength + 7) & ~7u);
    instance.UniqueID = PERF_NO_UNIQUE_ID;
    const std::size_t instanceAt = Append(block.bytes, instance);
    block.instanceAt.push_back(instanceAt);
    block.bytes.insert(block.bytes.end(), reinterpret_cast<const BYTE*>(name.c_str()),
                       reinterpret_cast<const BYTE*>(name.c_str() + name.size() + 1));
    block.bytes.resize(instanceAt + instance.ByteLength);
    PERF_COUNTER_BLOCK counters{};
    counters.ByteLength = kIdOffset + 4;
    block.countersAt.push_back(Append(block.bytes, counters));
    Append(block.bytes, DWORD{0xF111F111});
    Append(block.bytes, id);
  }
  Finish(block);
  return block;
}

// What Wine answers: the data block header alone.
inline PerformanceBlock HeaderOnlyBlock() {
  using namespace performance_block_detail;
  PerformanceBlock block;
  PERF_DATA_BLOCK header = Header();
  header.NumObjectTypes = 0;
  header.TotalByteLength = header.HeaderLength;
  Append(block.bytes, header);
  return block;
}

// Plays the registry's part for the performance-data queries of one test: answers
// ERROR_MORE_DATA until the buffer offered holds the block (and is at least
// neededBytes), then the block; or fails with `failure`. Records what it was asked.
struct StandInPerformanceData {
  static inline PerformanceBlock block;
  static inline DWORD neededBytes = 0;
  static inline LONG failure = ERROR_SUCCESS;
  static inline std::vector<DWORD> offeredBytes;
  static inline std::wstring items;

  static void Answer(PerformanceBlock answer, DWORD needed = 0, LONG failing = ERROR_SUCCESS) {
    block = std::move(answer);
    neededBytes = needed;
    failure = failing;
    offeredBytes.clear();
    items.clear();
  }

  static LONG Query(const wchar_t* askedItems, BYTE* buffer, DWORD* bytes) {
    items = askedItems;
    offeredBytes.push_back(*bytes);
    if (failure != ERROR_SUCCESS) return failure;
    if (*bytes < block.size() || *bytes < neededBytes) return ERROR_MORE_DATA;
    std::memcpy(buffer, block.bytes.data(), block.bytes.size());
    *bytes = block.size();
    return ERROR_SUCCESS;
  }
};

// One row of a table of answers and the lines a section must write for it.
struct StandInCase {
  const char* name;
  PerformanceBlock block;
  LONG failure;
  std::vector<std::wstring> lines;
};
