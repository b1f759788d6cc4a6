// The store lock: one System V semaphore shared by every process of the
// system, keyed by ftok("/spx", 1), taken around every parameter-record read
// and write. SEM_UNDO gives it back when a holder dies; a process that dies
// while setting the semaphore up leaves it to the next one (store_lock).
#pragma once

inline constexpr const char store_lock_path[] = "/spx";
inline constexpr int store_lock_project = 1;
// Seconds a process waits for another one that is setting the semaphore up.
inline constexpr int store_lock_setup_tries = 10;

enum store_lock_operation { store_lock_take = 1, store_lock_give = 2 };

// Takes or gives back the lock. 0; -1 when the semaphore cannot be set up
// (or a living process has been setting it up for store_lock_setup_tries
// seconds); -2 when the semaphore operation fails; -3 for another operation
// code. The first use in a process finds or creates the semaphore; one that
// was never posted (its last-operation time is 0) is set up, under a file
// lock on store_lock_path that serialises the set-up between processes and
// that the kernel releases when its holder dies. The identifier is kept for
// the process's life.
int store_lock(int operation);

// Holds the lock for its lifetime (when taking it succeeded).
class store_lock_hold {
public:
    store_lock_hold() : result(store_lock(store_lock_take)) {}
    ~store_lock_hold() {
        if (result == 0) store_lock(store_lock_give);
    }
    store_lock_hold(const store_lock_hold &) = delete;
    store_lock_hold &operator=(const store_lock_hold &) = delete;

    bool held() const { return result == 0; }
    // What taking the lock gave (see store_lock).
    int status() const { return result; }

private:
    int result;
};
