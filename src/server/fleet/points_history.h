// The points history: the hourly sample of the estimated points per day
// (taken by the maintenance thread, once an hour whichever server takes
// it), and the answers that chart it beside the finished units' points.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server/fleet/machine_status.h"
#include "server/fleet/outcome.h"
#include "server/store/store.h"

namespace pelmora::server {

// The fleet's estimate first, then each user's (the most points first, as
// the team page lists them) and each machine's above 0.
std::vector<PointsSample> pointsSamples(const std::vector<MachineRow>& machines, long long now,
                                        const StatusLimits& limits);
// The sample of NOW's hour, unless the store has it; false when there is
// nothing to sample yet (no machine), to be asked again.
bool samplePointsHourly(Store& store, long long now, const StatusLimits& limits);

// GET /api/team/points and /api/machines/ID/points: SUBJECT's last DAYS
// days (today the last) and its estimate in the last hour sampled, from
// the store's sample rows alone, never the fleet's. Each answer is kept
// until the store's points mark (store.h) or the day moves, the days
// before today until the day does: asked over and over, an answer costs
// the mark's one small read. At most kKept answers, the least recently
// asked dropped first.
class PointsAnswers {
public:
    // The JSON; none when SUBJECT is a machine the store does not hold.
    std::shared_ptr<const std::string> answer(Store& store, const PointsSubject& subject, long long days,
                                              long long now);

    static constexpr std::size_t kKept = 256;

private:
    struct Kept {
        long long today = 0, removals = 0;
        PointsMark mark;
        PointsHistory before; // the days before today
        std::shared_ptr<const std::string> text;
        long long used = 0;
    };
    std::mutex mutex_;
    std::map<std::string, Kept> kept_;
    long long uses_ = 0;
};
// A machine's changes of status, newest first (the last so many kept).
Outcome<std::vector<StatusEvent>> machineStatusEvents(Store& store, long long machineId);

} // namespace pelmora::server
