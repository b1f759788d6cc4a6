// Mount and file-system utilities: mounting a mount point as the static
// mount table describes it (option words, loop-mounted image files, probing
// the file-system type), unmounting a mount point and releasing its loop
// device. Every message goes through the host print operation.
#pragma once

#include <cstdio>
#include <linux/loop.h>
#include <mntent.h>

// The tables the utilities read. The system's are system_mount_tables;
// callers that work on another tree pass their own set.
struct mount_tables {
    const char *fstab;       // the static mount table
    const char *mounts;      // the mounted file systems
    const char *filesystems; // the file-system types the kernel knows
};

inline constexpr mount_tables system_mount_tables{"/etc/fstab", "/proc/mounts",
                                                  "/proc/filesystems"};

// A line of a mount table: the mntent fields point into text.
struct fstab_entry {
    mntent fields;
    char text[4096];
};

// Flags and file-system data built from an entry's option words.
struct mount_options {
    unsigned long flags;
    char data[1024];
    bool loop; // the entry names an image file to mount through a loop device
};

// The longest option word kept; longer words are cut.
inline constexpr int option_word_max = 127;

// Builds flags and data from comma-separated option words (null: none). Flag
// words set or clear their mount flag, "loop" marks a loop mount, other words
// are appended to data, comma-separated, while they fit; a word that does not
// fit is dropped with the message "No space left for option %s\n\r".
void parse_mount_options(const char *words, mount_options &out);

// The results of the mount-table operations below; -2 names a different
// failure in each.
enum mount_result : int {
    mount_ok = 0,
    mount_failed = -1,         // a table or device cannot be opened, or another failure
    mount_not_listed = -2,     // find_fstab_entry: no line has the mount point
    mount_release_failed = -2, // release_loop_device: the release request failed
    mount_unmount_failed = -2, // umount_mount_point: the unmount failed
    mount_not_mounted = -3,    // umount_mount_point: path is not mounted
};

// Copies a mount-point argument (at most 255 characters) without one
// trailing "/".
void normalise_mount_point(const char *path, char (&out)[256]);

// Finds the first line of the static mount table whose mount point is path
// (normalised). 0; -1 when the table cannot be opened; -2 when no line has
// that mount point. Each failure prints its message.
int find_fstab_entry(const char *path, fstab_entry &out,
                     const mount_tables &tables = system_mount_tables);

// Mounts the mount point path as the static mount table describes it: the
// result of mount_entry, or find_fstab_entry's failure.
int mount_mount_point(const char *path, const mount_tables &tables = system_mount_tables);

// Mounts an entry: flags and data from its options, an image file through
// the first free of eight loop devices (always read-only), the type "auto"
// probed through the kernel's file-system list. 0, or negative on failure; a
// loop device attached for a mount that fails is released again.
int mount_entry(const mntent &entry, const mount_tables &tables = system_mount_tables);

// Reads the next type worth probing from a file-system list in the kernel's
// format (lines of "nodev" types are skipped): true with its name (at most 31
// characters) in type, false at the end of the list.
bool next_probe_type(FILE *list, char (&type)[32]);

// Mounts device on mount_point; a refusal because the medium is read-only is
// retried once read-only. 0 or -1, with a message for each failure.
int mount_with_ro_retry(const char *device, const char *mount_point, const char *type,
                        unsigned long flags, const char *data);

// Attaches image read-only to the first free loop device (one that no
// mounted device names and that nothing else holds) and writes its path to
// device. 0, or -1 with a message.
int setup_loop_device(const char *image, char (&device)[64],
                      const mount_tables &tables = system_mount_tables);

// The status given to a loop device for image: all zero but the file-name
// field, which holds image cut at 63 characters.
void loop_status_record(const char *image, loop_info64 &out);

// Whether loop number n is taken by a mounted file system: 1 taken, 0 free,
// -1 when the mounted list cannot be read (with a message).
int loop_number_mounted(int n, const mount_tables &tables = system_mount_tables);

// Detaches the loop device at path. 0; -1 when it cannot be opened; -2 when
// the release request fails. Each failure prints its message.
int release_loop_device(const char *path);

// Unmounts the mounted file system whose mount point is path (normalised) and
// releases its loop device, if any. 0; -1 when the mounted list cannot be
// read; -3 when path is not mounted; -2 when the unmount fails. Each failure
// prints its message.
int umount_mount_point(const char *path, const mount_tables &tables = system_mount_tables);
