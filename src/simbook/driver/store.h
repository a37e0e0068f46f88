// The machine file as the device's backing store: the lock that makes the device exclusive
// across processes, and the atomic write-back of firmware changes.
//
// Opening the device takes a lock (flock) on the machine file: exclusive for share mode 0,
// shared otherwise, never waiting. A name that is a symbolic link is followed to the file it
// leads to, so every name of one machine file shares one lock and one file. A write-back
// replaces the file by renaming a new, exclusively created temporary file of the same folder
// over it; the holder locks the new file before the rename and keeps every lock until the
// device is closed, so a process that opened the old or the new file meets the lock either way.
#pragma once

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

    // Replaces the whole machine file with `text`, the same atomic way; the exclusive lock is
    // required. False, with a one-line `problem`, when it could not be written: the file is
    // then unchanged.
    bool Replace(const std::string& text, std::string& problem);

private:
    std::string path_; // the file the name given to Acquire leads to
    bool exclusive_ = false;
    std::vector<int> fds_; // the file as opened, then each file this holder renamed into place
};

// Reads the firmware section of the machine file at `path` (the whole file is checked).
// False, with the problem reported on standard error, when it cannot be read or parsed.
bool ReadFirmware(const std::string& path, Machine::Firmware& firmware);

} // namespace simbook
