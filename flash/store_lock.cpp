#include "flash/store_lock.h"

#include <cerrno>
#include <mutex>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

namespace {

union semaphore_argument {
    int value;
    semid_ds *status;
    unsigned short *values;
};

std::mutex setup_mutex;
int semaphore_id = -1;

// Creates the semaphore (value 0, then one post so that its value is 1 and
// its last-operation time is set), or waits for the process that creates it.
int set_up() {
    key_t key = ftok(store_lock_path, store_lock_project);
    if (key == -1) return -1;
    int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (id >= 0) {
        unsigned short zero[1] = {0};
        semaphore_argument all;
        all.values = zero;
        sembuf post = {0, 1, 0};
        if (semctl(id, 0, SETALL, all) == 0 && semop(id, &post, 1) == 0) return id;
        // Nobody could ever use a semaphore that was never posted: remove it
        // so that the next process creates it anew.
        semctl(id, 0, IPC_RMID);
        return -1;
    }
    if (errno != EEXIST) return -1;
    id = semget(key, 1, 0);
    if (id < 0) return -1;
    for (int i = 0; i < store_lock_setup_tries; ++i) {
        semid_ds status = {};
        semaphore_argument stat;
        stat.status = &status;
        if (semctl(id, 0, IPC_STAT, stat) == 0 && status.sem_otime != 0) return id;
        sleep(1);
    }
    return -1;
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
