// Progress weights of the "TIME" chunk: steps of the file take the next
// weight in file order, and the host sees the sum taken so far over the
// total, in thousandths.
#pragma once

#include <cstdint>
#include <memory>

struct oza_progress {
    std::unique_ptr<uint32_t[]> weights;
    uint32_t count = 0; // weights in the list
    uint32_t next = 0;  // the next one to take
    uint64_t total = 0; // sum of all weights
    uint64_t done = 0;  // sum of what was advanced so far
    bool active = false;
    void (*report)(int done, int total) = nullptr;
};

// Drops the list; progress is off until progress_start.
void progress_reset(oza_progress &p);
// Takes over a list of count weights (allocated with new[]); progress is on
// when the total is not 0 (a file whose weights sum to 0 reports nothing).
void progress_start(oza_progress &p, std::unique_ptr<uint32_t[]> weights, uint32_t count,
                    void (*report)(int, int));
// The next weight of the list, or 0 when progress is off or the list has run
// out (nothing is read past it).
uint32_t progress_take(oza_progress &p);
// Adds amount to the running sum and reports it (nothing when off).
void progress_advance(oza_progress &p, uint64_t amount);
// Takes the next weight and advances by it whole (a chunk's one weight).
void progress_step(oza_progress &p);
// Takes amount back from the running sum without reporting.
void progress_withdraw(oza_progress &p, uint64_t amount);
// done x 1000 / total, at most 1000, without overflow; 1000 for a total of 0.
int progress_permille(uint64_t done, uint64_t total);

// One weight handed out in parts: each step advances by at most what is left
// of it, and finish advances by the rest, so the parts never sum to more
// than the weight.
struct weight_spread {
    oza_progress *progress = nullptr;
    uint64_t weight = 0, rest = 0;

    // Takes the next weight (0 when progress is off).
    explicit weight_spread(oza_progress &p)
        : progress(&p), weight(progress_take(p)), rest(weight) {}
    void step(uint64_t amount);
    void finish() { step(rest); }
};
