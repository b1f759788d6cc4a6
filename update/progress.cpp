// Per mille in 64-bit integers, through double only when done x 1000 would overflow; nothing is
// reported while the total is 0, and a spread weight never hands out more than it holds.
#include "update/progress.h"

#include <algorithm>

void progress_reset(oza_progress &p) {
    p = oza_progress{};
}

void progress_start(oza_progress &p, std::unique_ptr<uint32_t[]> weights, uint32_t count,
                    void (*report)(int, int)) {
    p.weights = std::move(weights);
    p.count = count;
    p.next = 0;
    p.total = 0;
    for (uint32_t i = 0; i < count; ++i) p.total += p.weights[i];
    p.done = 0;
    p.active = p.total != 0;
    p.report = report;
}

uint32_t progress_take(oza_progress &p) {
    if (!p.active || p.next >= p.count) return 0;
    return p.weights[p.next++];
}

int progress_permille(uint64_t done, uint64_t total) {
    if (total == 0 || done >= total) return 1000;
    if (done <= UINT64_MAX / 1000) return static_cast<int>(done * 1000 / total);
    return static_cast<int>(
        std::min(1000.0, static_cast<double>(done) / static_cast<double>(total) * 1000.0));
}

void progress_advance(oza_progress &p, uint64_t amount) {
    if (!p.active) return;
    p.done += amount;
    if (p.report != nullptr) p.report(progress_permille(p.done, p.total), 1000);
}

void progress_step(oza_progress &p) {
    progress_advance(p, progress_take(p));
}

void progress_withdraw(oza_progress &p, uint64_t amount) {
    if (!p.active) return;
    p.done -= std::min(amount, p.done);
}

void weight_spread::step(uint64_t amount) {
    amount = std::min(amount, rest);
    rest -= amount;
    progress_advance(*progress, amount);
}
