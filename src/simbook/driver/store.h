// The machine file as the device's backing store: the lock that makes the device exclusive
// across processes, the atomic write-back of firmware changes, and the steps of fault lists
// ("scan": ["refuse", "complete"]) taken one per program run.
//
// A program never writes a ready machine (a file in the folder of ready machines, by any name):
// its write-back and its steps are refused, reported, and the file stays as it is.
//
// Opening the device takes a lock (flock) on the machine file: exclusive for share mode 0,
// shared otherwise, never waiting. A name that is a symbolic link is followed to the file it
// leads to, so every name of one machine file shares one lock and one file. A write-back
// replaces the file by renaming a new, exclusively created temporary file of the same folder
// over it; the holder locks the new file before the rename and keeps every lock until the
// device is closed, so a process that opened the old or the new file meets the lock either way.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "simbook/machine.h"

namespace simbook {

class MachineLock {
public:
    MachineLock() = default;
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    // Locks `path`. On failure returns false with a Win32 error: win32::kSharingViolation when
    // another handle holds a conflicting lock, win32::kFileNotFound when the file is gone.
    bool Acquire(const std::string& path, bool exclusive, Dword& error);
    bool Held() const { return !fds_.empty(); }

    // Writes `firmware`'s changeable values (wlan_flags, setting58) into the machine file,
    // keeping every other key and the key order as they are. Atomic: the file is either the
    // old one or the new one. False, with the problem reported on standard error, when the file
    // could not be written; it is then unchanged.
    bool WriteBack(const Machine::Firmware& firmware);

    // Takes the program run's step of the fault list `key` of the object at `where` (a JSON
    // pointer: "/driver", "/wlan/interfaces/0"), the exclusive lock required. Reads the file
    // afresh, so that runs one after the other, or waiting on each other's lock, each take their
    // own step; returns the index of the value this run takes ("<key>_step", the list's last
    // index once past it) and stores the next index in "<key>_step", the last one staying. A key
    // that holds one value by now takes index 0 and stores nothing. nullopt, with the problem
    // reported on standard error, when the step could not be stored: the file is then unchanged.
    std::optional<size_t> TakeStep(const std::string& where, const std::string& key);

    // Replaces the whole machine file with `text`, the same atomic way; the exclusive lock is
    // required. False, with a one-line `problem`, when it could not be written: the file is
    // then unchanged.
    bool Replace(const std::string& text, std::string& problem);

private:
    std::string path_; // the file the name given to Acquire leads to
    bool exclusive_ = false;
    std::vector<int> fds_; // the file as opened, then each file this holder renamed into place
};

// Whether `path` is a file in the folder of ready machines (the installed one beside the
// program, ../share/simbook/machines, or the source tree's), compared by the folder itself, not
// by its name. Such a file is never written by a program.
bool IsReadyMachineFile(const std::string& path);

// Takes the program run's step of a fault list as MachineLock::TakeStep does, first waiting up
// to `wait` for the machine file's exclusive lock while another program or simbook command
// holds it. nullopt, reported on standard error, when the lock is not had or the step not stored.
std::optional<size_t> TakeStepWaiting(const std::string& path, const std::string& where,
                                      const std::string& key, std::chrono::milliseconds wait);

// Reads the firmware section of the machine file at `path` (the whole file is checked).
// False, with the problem reported on standard error, when it cannot be read or parsed.
bool ReadFirmware(const std::string& path, Machine::Firmware& firmware);

} // namespace simbook
