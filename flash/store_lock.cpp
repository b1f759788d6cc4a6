// The semaphore is set up under a flock on the key's path and counts as set up once posted
// (its last-operation time non-zero). A semaphore removed while in use is set up once more.
#include "flash/store_lock.h"

#include "core/unique.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <thread>
#include <unistd.h>

namespace {

union semaphore_argument {
    int value;
    semid_ds *status;
    unsigned short *values;
};

std::mutex setup_mutex;
int semaphore_id = -1;

// A semaphore is usable once it was posted: its last-operation time stays 0
// until the first semop, so 0 means "created but never made usable", which
// a held lock (value 0 after a post and a take) never shows.
bool initialised(int id) {
    semid_ds status = {};
    semaphore_argument stat;
    stat.status = &status;
    return semctl(id, 0, IPC_STAT, stat) == 0 && status.sem_otime != 0;
}

// Takes the file lock that serialises the set-up, waiting up to
// store_lock_setup_tries seconds for a process that is setting up now.
bool lock_setup(int fd) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(store_lock_setup_tries);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Finds or creates the semaphore and makes it usable (value 0, then one post
// so that its value is 1 and its last-operation time is set) when nobody has.
// The set-up runs under a file lock on the key's path, which the kernel
// drops when its holder dies: a process killed between creating the
// semaphore and posting it leaves it for the next one to set up, instead of
// leaving every later process waiting for a post that never comes.
int set_up() {
    key_t key = ftok(store_lock_path, store_lock_project);
    if (key == -1) return -1;
    int id = semget(key, 1, IPC_CREAT | 0666);
    if (id < 0) return -1;
    if (initialised(id)) return id;
    unique_fd guard(open(store_lock_path, O_RDONLY | O_CLOEXEC));
    if (!guard.valid() || !lock_setup(guard.get())) return -1;
    if (initialised(id)) return id; // set up by the process that held the file lock
    unsigned short zero[1] = {0};
    semaphore_argument all;
    all.values = zero;
    sembuf post = {0, 1, 0};
    if (semctl(id, 0, SETALL, all) != 0 || semop(id, &post, 1) != 0) return -1;
    return id;
}

int semaphore(bool again) {
    std::lock_guard<std::mutex> guard(setup_mutex);
    if (again) semaphore_id = -1;
    if (semaphore_id < 0) semaphore_id = set_up();
    return semaphore_id;
}

} // namespace

int store_lock(int operation) {
    if (operation != store_lock_take && operation != store_lock_give) return -3;
    sembuf change = {0, static_cast<short>(operation == store_lock_take ? -1 : 1), SEM_UNDO};
    int id = semaphore(false);
    for (bool again = true;;) {
        if (id < 0) return -1;
        if (semop(id, &change, 1) == 0) return 0;
        if (errno == EINTR) continue;
        // The semaphore was removed under us: set it up once more.
        if ((errno != EIDRM && errno != EINVAL) || !again) return -2;
        again = false;
        id = semaphore(true);
    }
}
