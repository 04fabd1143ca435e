// How many entries a walk of the store's engine may visit from an entry, up
// to a limit. Tables that share subtrees many times over take exponentially
// long to walk; the model's own tables are nowhere near that, so fuzzers skip
// such walks rather than report them as hangs. A walk that comes round to an
// entry it is inside of fails at the engine's depth limit, so such a path is
// counted once.
#ifndef FUZZ_WALK_COST_H
#define FUZZ_WALK_COST_H

#include <cstdint>
#include <utility>
#include <vector>

class WalkCost
{
  public:
    static const unsigned long kLimit = 20000;

    explicit WalkCost(const std::vector<std::pair<uint32_t, uint32_t>>& entries)
        : entries_(entries), cost_(entries.size(), 0), state_(entries.size(), 0)
    {
    }

    unsigned long Of(uint32_t index)
    {
        if (index >= entries_.size())
            return 1;
        if (state_[index] == 2)
            return cost_[index];
        if (state_[index] == 1)
            return 1; // round again: fails at the depth limit
        state_[index] = 1;
        unsigned long total = 1 + Children(index);
        if (total > kLimit)
            total = kLimit;
        cost_[index] = total;
        state_[index] = 2;
        return total;
    }

  private:
    unsigned long Children(uint32_t index)
    {
        uint32_t type = entries_[index].first >> 24;
        uint32_t first = entries_[index].first & 0xFFFFFF;
        uint32_t count = entries_[index].second & 0xFFFF;
        bool sequence = (type >= 8 && type <= 10) || type == 15 || type == 17;
        bool labels = (type >= 11 && type <= 14) || type == 19;
        if (type == 19) {
            if (first >= entries_.size())
                return 0;
            first = entries_[first].first & 0xFFFFFF; // labels behind the mask header
        }
        unsigned long total = 0;
        for (uint32_t i = 0; (sequence || labels) && i < count && total < kLimit; ++i) {
            uint32_t child = first + i;
            if (labels) {
                if (child >= entries_.size())
                    break;
                child = entries_[child].first & 0xFFFFFF; // the label's target
            }
            total += Of(child);
        }
        return total;
    }

    const std::vector<std::pair<uint32_t, uint32_t>>& entries_;
    std::vector<unsigned long> cost_;
    std::vector<int> state_;
};

#endif
