// Journal replay from arbitrary bytes (torn, reordered, damaged frames): it must neither crash
// nor read past the end nor allocate by the counts it reads, and the tables it leaves must
// write a cfg.dat that loads whole with its mails intact.
#include <cstdint>
#include <cstdlib>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/journal.h"
#include "core/state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::ManualClock clock;
    orv::CoreTables t(clock, "");
    orv::loadState(t, nullptr, 0);
    orv::ReplayReport rep = orv::replayJournal(t, data, size);
    if (rep.goodBytes > size) std::abort();
    if (t.deliveryProgress.count() != t.deliveries.count()) std::abort();
    std::vector<uint8_t> image = orv::serializeState(t);
    orv::CoreTables back(clock, "");
    orv::LoadReport lr = orv::loadState(back, image.data(), image.size());
    if (lr.blocksRead != orv::kStateBlockCount || lr.mailsDropped) std::abort();
    if (back.mails.count() != t.mails.count()) std::abort();
    return 0;
}
