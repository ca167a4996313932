#pragma once

#include <signal.h>
#include <spawn.h>

namespace velora::sys {

// How a program is started: only standard input, output and error are passed on, signals
// start at their defaults and none is blocked, whatever the installer's threads have set
// for themselves. A detached program gets its own session, so that it outlives the
// installer's terminal.
struct SpawnSettings {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    explicit SpawnSettings(bool detached = false) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        posix_spawnattr_init(&attributes);
        sigset_t signals;
        sigfillset(&signals);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (detached) flags |= POSIX_SPAWN_SETSID;
        posix_spawnattr_setflags(&attributes, flags);
    }
    ~SpawnSettings() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
};

}  // namespace velora::sys
