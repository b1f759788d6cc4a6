// box-storage-<configuration>: calls the storage layer's functions by name
// inside a device box. Commands are separated by "+" and run in one process
// (so that caches and held locks carry from one to the next); each prints
// one line, mostly the function's result followed by the bytes it read in
// hexadecimal.
#include "crypto/keyrec.h"
#include "flash/flash.h"
#include "flash/keystore.h"
#include "flash/module.h"
#include "flash/param_records.h"
#include "flash/params.h"
#include "flash/storage.h"
#include "flash/store_lock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using args = std::vector<std::string>;

long num(const std::string &s) {
    return strtol(s.c_str(), nullptr, 0);
}

std::string hex(const void *data, size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    const auto *b = static_cast<const unsigned char *>(data);
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

std::vector<unsigned char> unhex(const std::string &s) {
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

bool exists(const char *path) {
    return access(path, F_OK) == 0;
}

void touch(const char *path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

void print_result(int r) {
    printf("%d\n", r);
}

void print_read(int r, const std::vector<unsigned char> &bytes) {
    if (r < 0)
        printf("%d\n", r);
    else
        printf("%d %s\n", r, hex(bytes.data(), bytes.size()).c_str());
}

void print_errno(int r) {
    const char *name = r == 0 || r == 1 ? nullptr : strerrorname_np(errno);
    printf("%d%s%s\n", r, name != nullptr ? " " : "", name != nullptr ? name : "");
}

void print_progress(int percent, void *) {
    printf("progress %d\n", percent);
}

// ---- the store lock and its creation race ----

// sem-create SECONDS [bare]: creates the store semaphore as the first
// process does, holding the set-up lock (a file lock on /spx), but posts it
// only after SECONDS; /tmp/created and /tmp/posted mark the steps. "bare"
// creates it without the set-up lock and never posts it, as a creator that
// died right after creating it leaves it.
int sem_create(const args &a) {
    const bool bare = a.size() > 2 && a[2] == "bare";
    int guard = open(store_lock_path, O_RDONLY | O_CLOEXEC);
    if (guard < 0 || (!bare && flock(guard, LOCK_EX) != 0)) return 1;
    int id = semget(ftok(store_lock_path, store_lock_project), 1, IPC_CREAT | IPC_EXCL | 0666);
    if (id < 0) return 1;
    unsigned short zero[1] = {0};
    semctl(id, 0, SETALL, zero);
    touch("/tmp/created");
    if (bare) return 0;
    sleep(static_cast<unsigned>(num(a.at(1))));
    touch("/tmp/posted");
    sembuf post = {0, 1, 0};
    print_result(semop(id, &post, 1));
    return 0;
}

// lock: takes and gives back the store lock; prints the result, whether the
// creator had posted by then, and the seconds it took.
int lock(const args &) {
    auto start = std::chrono::steady_clock::now();
    int r = store_lock(store_lock_take);
    bool posted = exists("/tmp/posted");
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    if (r == 0) store_lock(store_lock_give);
    printf("%d %s %lld\n", r, posted ? "posted" : "unposted",
           static_cast<long long>(seconds.count()));
    return 0;
}

// hammer RECORD OFFSET ID COUNT: writes (ID, i) for i = 1 ... COUNT at
// OFFSET of RECORD, stopping early once /tmp/stop exists; /tmp/hammering
// marks the first write. Prints how many writes failed.
int hammer(const args &a) {
    uint32_t id = static_cast<uint32_t>(num(a.at(3)));
    long count = num(a.at(4)), failures = 0;
    for (uint32_t i = 1; i <= static_cast<uint32_t>(count) && !exists("/tmp/stop"); ++i) {
        if (i == 2) touch("/tmp/hammering");
        uint32_t value[2] = {id, i};
        if (param_write(a.at(1).c_str(), static_cast<int32_t>(num(a.at(2))), value, 8) != 0)
            ++failures;
    }
    printf("failures %ld\n", failures);
    return 0;
}

// increment RECORD OFFSET COUNT: adds 1 to the 32-bit counter at OFFSET of
// RECORD COUNT times, each a read-modify-write of the whole record under one
// hold of the store lock; prints how many failed.
int increment(const args &a) {
    static int32_t at = 0;
    at = static_cast<int32_t>(num(a.at(2)));
    auto add_one = [](unsigned char *bytes, int32_t size, void *) {
        if (at < 0 || at > size - 4) return -1;
        uint32_t v;
        memcpy(&v, bytes + at, 4);
        ++v;
        memcpy(bytes + at, &v, 4);
        return 0;
    };
    long failures = 0;
    for (long i = 0; i < num(a.at(3)); ++i)
        if (param_update(a.at(1).c_str(), add_one, nullptr) != 0) ++failures;
    printf("failures %ld\n", failures);
    return 0;
}

// The write slot of slow-write's table: before writing "params" it marks
// /tmp/paused and waits (up to 30 s) for /tmp/go.
int slow_write(const char *area, int32_t offset, const void *buffer, int32_t length) {
    if (strcmp(area, "params") == 0) {
        touch("/tmp/paused");
        for (int i = 0; i < 3000 && !exists("/tmp/go"); ++i) usleep(10000);
    }
    return storage_default_operations().flash_write(area, offset, buffer, length);
}

// slow-write RECORD OFFSET HEX [unlocked]: param_write with a pause between
// the image's read and its write back; "unlocked" runs the same
// read-modify-write without the store lock.
int slow(const args &a) {
    static storage_operations table = storage_default_operations();
    table.flash_write = slow_write;
    storage_select(&table);
    std::vector<unsigned char> data = unhex(a.at(3));
    int32_t offset = static_cast<int32_t>(num(a.at(2))), n = static_cast<int32_t>(data.size());
    const param_record *record = param_find(a.at(1).c_str());
    if (record == nullptr) return 1;
    bool unlocked = a.size() > 4 && a[4] == "unlocked";
    print_result(unlocked ? record->write(*record, offset, data.data(), n)
                          : param_write(a.at(1).c_str(), offset, data.data(), n));
    storage_select(nullptr);
    return 0;
}

// ---- the flash layer ----

// flash-threads: two threads take the flash five times each, holding it for
// 50 ms; prints the most threads ever seen holding it at once.
int flash_threads(const args &) {
    std::atomic<int> inside{0}, most{0}, failures{0};
    auto use = [&] {
        for (int i = 0; i < 5; ++i) {
            if (FLASH_Init() != 0) {
                ++failures;
                continue;
            }
            int now = ++inside;
            for (int m = most.load(); now > m && !most.compare_exchange_weak(m, now);) {
            }
            usleep(50000);
            --inside;
            if (FLASH_Exit() != 0) ++failures;
        }
    };
    std::thread one(use), two(use);
    one.join();
    two.join();
    printf("most %d failures %d\n", most.load(), failures.load());
    return 0;
}

int flash_command(const args &a) {
    const std::string &c = a[0];
    auto u32 = [&](size_t i) { return static_cast<uint32_t>(num(a.at(i))); };
    if (c == "flash-init")
        print_result(FLASH_Init());
    else if (c == "flash-exit")
        print_result(FLASH_Exit());
    else if (c == "flash-activate")
        print_result(FLASH_ActivateCache());
    else if (c == "flash-deactivate")
        print_result(FLASH_DeactivateCache());
    else if (c == "flash-threads")
        return flash_threads(a);
    else if (c == "flash-infos") {
        std::vector<unsigned char> infos(flash_infos_size);
        print_read(FLASH_GetInfos(infos.data()), infos);
    } else if (c == "flash-sector") {
        flash_sector s = {};
        int r = FLASH_GetSectorInfos(u32(1), &s);
        if (r != 0)
            print_result(r);
        else
            printf("%d %u %u %u\n", r, s.index, s.start, s.size);
    } else if (c == "flash-max") {
        uint32_t size = 0;
        int r = FLASH_GetMaxSectorSize(&size);
        printf("%d %u\n", r, size);
    } else if (c == "flash-write") {
        std::vector<unsigned char> data = unhex(a.at(2));
        flash_transfer t = {u32(1), static_cast<uint32_t>(data.size()), data.data()};
        print_result(FLASH_Write(&t));
    } else if (c == "flash-read") {
        std::vector<unsigned char> data(u32(2));
        flash_transfer t = {u32(1), u32(2), data.data()};
        print_read(FLASH_Read(&t), data);
    } else if (c == "flash-erase-sector")
        print_result(FLASH_EraseSector(u32(1)));
    else if (c == "flash-erase")
        print_result(FLASH_Erase(u32(1), u32(2)));
    else
        return 2;
    return 0;
}

// ---- raw areas, records and the key store ----

int area_command(const args &a) {
    const std::string &c = a[0];
    auto i32 = [&](size_t i) { return static_cast<int32_t>(num(a.at(i))); };
    const char *name = a.size() > 1 ? a[1].c_str() : "";
    if (c == "read" || c == "param-read" || c == "keystore-read") {
        std::vector<unsigned char> data(static_cast<size_t>(std::max(0, i32(3))));
        auto read = c == "read" ? flash_read : c == "param-read" ? param_read : keystore_read;
        print_read(read(name, i32(2), data.data(), i32(3)), data);
    } else if (c == "write") {
        std::vector<unsigned char> data = unhex(a.at(3));
        print_result(flash_write_with_progress(
            name, i32(2), data.data(), static_cast<int32_t>(data.size()), print_progress, nullptr));
    } else if (c == "param-write" || c == "keystore-write") {
        std::vector<unsigned char> data = unhex(a.at(3));
        auto write = c == "param-write" ? param_write : keystore_write;
        print_result(write(name, i32(2), data.data(), static_cast<int32_t>(data.size())));
    } else if (c == "patch") {
        std::vector<unsigned char> data = unhex(a.at(2));
        print_result(param_image_patch(static_cast<uint32_t>(num(a.at(1))), data.data(),
                                       static_cast<uint32_t>(data.size())));
    } else if (c == "size")
        print_result(flash_size_max(name));
    else if (c == "param-size")
        print_result(param_size_max(name));
    else if (c == "keystore-size")
        print_result(keystore_size_max(name));
    else if (c == "erase")
        print_result(flash_partition_erase(name, 0));
    else if (c == "boot-get")
        print_result(boot_selection_read());
    else if (c == "boot-set")
        print_result(boot_selection_write(i32(1)));
    else if (c == "unit")
        printf("%s\n", keystore_unit_name());
    else if (c == "aes") {
        const unsigned char *key = keystore_aes_key();
        printf("%s %s\n", key == builtin_aes_key ? "builtin" : "stored",
               hex(key, aes_key_record_size).c_str());
    } else if (c == "pubkey") {
        const unsigned char *key = keystore_public_key(i32(1));
        if (key == builtin_fallback_key)
            printf("fallback\n");
        else
            printf("stored %s\n", hex(key, key_record_size).c_str());
    } else if (c == "insmod")
        print_errno(insmod(name, a.size() > 2 ? a[2].c_str() : ""));
    else if (c == "rmmod")
        print_errno(rmmod(name, a.size() > 2 ? O_NONBLOCK : 0));
    else
        return flash_command(a);
    return 0;
}

// poke PATH OFFSET HEX: writes bytes into a file of the box; rename A B.
int file_command(const args &a) {
    if (a[0] == "poke") {
        std::vector<unsigned char> data = unhex(a.at(3));
        int fd = open(a.at(1).c_str(), O_WRONLY | O_CLOEXEC);
        bool ok = fd >= 0 && pwrite(fd, data.data(), data.size(), num(a.at(2))) ==
                                 static_cast<ssize_t>(data.size());
        if (fd >= 0) close(fd);
        printf("%s\n", ok ? "ok" : "failed");
        return 0;
    }
    if (a[0] == "rename") {
        printf("%s\n", rename(a.at(1).c_str(), a.at(2).c_str()) == 0 ? "ok" : "failed");
        return 0;
    }
    return 2;
}

int run(const args &a) {
    if (a[0] == "sem-create") return sem_create(a);
    if (a[0] == "lock") return lock(a);
    if (a[0] == "hammer") return hammer(a);
    if (a[0] == "slow-write") return slow(a);
    if (a[0] == "increment") return increment(a);
    if (a[0] == "poke" || a[0] == "rename") return file_command(a);
    return area_command(a);
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    args command;
    for (int i = 1; i <= argc; ++i) {
        if (i < argc && strcmp(argv[i], "+") != 0) {
            command.push_back(argv[i]);
            continue;
        }
        if (command.empty()) continue;
        int r = run(command);
        if (r == 2) fprintf(stderr, "unknown command %s\n", command[0].c_str());
        if (r != 0) return r;
        command.clear();
    }
    return 0;
}
