#include "perf/perf_table.h"

namespace {

constexpr PerfTableEntry Object(std::int32_t id, const wchar_t* name, const wchar_t* help,
                                std::int32_t firstCounter) {
  return {kPerfEntryObject, id, name, help, kPerfDetailNovice, firstCounter, 40, 30,
          0, 0, 0, 0, 0, 0};
}

constexpr PerfTableEntry Counter(std::int32_t id, const wchar_t* name, const wchar_t* help,
                                 std::int32_t flag = 0) {
  return {kPerfEntryCounter, id, name, help, kPerfDetailNovice, -1, 0, 0,
          0, 0, 0, 0, flag, kPerfCounterRawCount};
}

}  // namespace

// The per-minute counters (106, 107) stand next to their totals, so identifiers are not
// in table order.
PerfTableEntry g_varrowmereServerTable[kVarrowmereServerTableEntries] = {
    Object(100, L"Varrowmere Server",
           L"The VarrowmereServer object type includes those counters that apply to Global "
           L"Stats only.",
           101),
    Counter(101, L"Messages Queued For Delivery",
            L"Number of Messages queued for delivery(pending) to handhelds"),
    Counter(102, L"Messages Sent", L"Total number of messages sent by handhelds"),
    Counter(106, L"Messages Sent/min", L"Total number of messages sent by handhelds per minute"),
    Counter(103, L"Messages Received", L"Total number of messages received by handhelds"),
    Counter(107, L"Messages Received/min",
            L"Total number of messages received by handhelds per minute"),
    Counter(104, L"Messages Expired", L"Total number of messages expired"),
    Counter(105, L"Messages Filtered", L"Total number of messages filtered"),
    Counter(108, L"Connection State", L"Indication if currently connected to the relay", 1),
    {kPerfEntryEnd, -1, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

wchar_t g_perfInfoName[12] = L"TVXPerfInfo";
