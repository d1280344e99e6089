// The level generator's seed and state, for builds that must repeat.
#include <sstream>
#include <stdexcept>

#include "orv/batch.hpp"
#include "orv/guards.hpp"

namespace orv {

void seed_levels(HyperbolicIndex& ix, uint32_t seed) {
    WriteGuard guard(ix);
    GraphBuilder& b = ix.graph_builder();
    b.rng.seed(seed);
    b.unit_dist.reset();
}

std::string get_level_state(const HyperbolicIndex& ix) {
    ReadGuard guard(ix);
    std::ostringstream out;
    out << ix.graph_builder().rng;
    return out.str();
}

namespace {

// A state as the standard library writes it: n words below 2^32, then an
// index from 0 to n. The stream operator alone would take wider words.
bool well_formed(const std::string& state) {
    std::istringstream in(state);
    std::string tok;
    size_t count = 0;
    unsigned long long last = 0;
    while (in >> tok) {
        if (tok.size() > 10 || tok.find_first_not_of("0123456789") != std::string::npos)
            return false;
        last = std::stoull(tok);
        if (last > 0xffffffffULL) return false;
        ++count;
    }
    return count == std::mt19937::state_size + 1 && last <= std::mt19937::state_size;
}

}  // namespace

void set_level_state(HyperbolicIndex& ix, const std::string& state) {
    std::istringstream in(state);
    std::mt19937 rng;
    if (!well_formed(state) || !(in >> rng))
        throw std::invalid_argument("not a level generator state (" + std::to_string(state.size()) +
                                    " bytes)");
    WriteGuard guard(ix);
    GraphBuilder& b = ix.graph_builder();
    b.rng = rng;
    b.unit_dist.reset();
}

}  // namespace orv
