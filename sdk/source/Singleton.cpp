#include "Singleton.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace nork {
namespace {

std::mutex& trackerMutex() {
    static std::mutex m;
    return m;
}

// Never destroyed: the exit handlers use it until the very last one ran.
std::vector<CLifeTimeTracker*>& trackers() {
    static auto* v = new std::vector<CLifeTimeTracker*>();
    return *v;
}

void destroyLastTracker() {
    CLifeTimeTracker* last = nullptr;
    {
        std::lock_guard<std::mutex> guard(trackerMutex());
        auto& v = trackers();
        if (v.empty())
            return;
        last = v.back();
        v.pop_back();
    }
    delete last;
}

}  // namespace

void registerLifeTimeTracker(CLifeTimeTracker* tracker) {
    try {
        std::lock_guard<std::mutex> guard(trackerMutex());
        auto& v = trackers();
        // Sorted by descending longevity; equal longevities keep creation
        // order, so of two equals the later-created is destroyed first.
        auto pos = std::upper_bound(v.begin(), v.end(), tracker,
                                    [](const CLifeTimeTracker* a, const CLifeTimeTracker* b) {
                                        return a->longevity() > b->longevity();
                                    });
        v.insert(pos, tracker);
    } catch (...) {
        delete tracker;
        throw;
    }
    std::atexit(&destroyLastTracker);
}

std::size_t lifeTimeTrackerCount() {
    std::lock_guard<std::mutex> guard(trackerMutex());
    return trackers().size();
}

}  // namespace nork
