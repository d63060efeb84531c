// cfg.dat from arbitrary bytes: loading must neither crash nor read past the end nor
// allocate by the counts it reads, and what it loaded must write and load back to the same
// image (the load-time fix-ups settle after one pass).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An empty mail store folder: the receive-folder fix-up then touches no disk.
    orv::ManualClock clock;
    orv::CoreTables first(clock, "");
    orv::loadState(first, data, size);
    std::vector<uint8_t> image = orv::serializeState(first);

    orv::CoreTables second(clock, "");
    std::unique_ptr<uint8_t[]> copy(new uint8_t[image.size()]);
    std::memcpy(copy.get(), image.data(), image.size());
    orv::LoadReport rep = orv::loadState(second, copy.get(), image.size());
    if (rep.blocksRead != orv::kStateBlockCount || rep.mailsDropped) std::abort();
    if (orv::serializeState(second) != image) std::abort();
    if (second.deliveryProgress.count() != second.deliveries.count()) std::abort();
    return 0;
}
