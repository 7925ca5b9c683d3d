// Visits every record in the table's address index, as it stands while
// recording or after a stop (before the dump freezes it into chains).
#pragma once
#include "tracking/alloc_table.h"

template <typename Visit> void ForEachLiveRecord(Visit visit)
{
    if (OwnerNewest)
        visit(OwnerNewest);
    for (AddressShard &bucket : AddressIndex) {
        if (!bucket.slots)
            continue;
        for (uint32_t i = 0, slots = 1u << (32 - bucket.shift); i < slots; i++)
            if (AllocRecord *record = SlotRecord(bucket.slots[i]))
                visit(record);
    }
}
