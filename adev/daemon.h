// Running the device event daemon in the background and stopping it.
#pragma once

// Where the daemon's process id is kept.
inline constexpr const char adev_pid_file[] = "/tmp/adev.pid";

// Forks; the child sets its file-creation mask to 0, starts a session of its
// own and moves to "/". Returns 0 in the child, the child's process id in the
// parent, and -1 when the fork fails (in the parent) or the child cannot
// detach (in the child).
int become_daemon();

// Kills the process named by pid_file with SIGKILL and removes the file.
// Returns the removal's result (0 or -1); -1 without removing the file when
// it cannot be read, holds no positive process id, or the kill fails.
int kill_daemon(const char *pid_file);
